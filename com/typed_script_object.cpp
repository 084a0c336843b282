#include "com/typed_script_object.h"

#include <string>
#include <vector>

namespace quevro::com {
namespace {

// The private interface by which the bridge finds a typed object's connection points.
constexpr IID IID_ITypedScriptObject = {0x2E94B7C3, 0x51D0, 0x4A8F,
                                        {0x9C, 0x3E, 0x60, 0x1B, 0xD4, 0x27, 0x85, 0xF2}};
constexpr const char16_t* PUTREF_UNSUPPORTED = u"Property putref not supported.";

WORD kind_of(WORD flags) {
  if (flags & DISPATCH_PROPERTYPUTREF) return INVOKE_PROPERTYPUTREF;
  if (flags & DISPATCH_PROPERTYPUT) return INVOKE_PROPERTYPUT;
  return static_cast<WORD>(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET));
}

class TypedScriptObject final : public IDispatch, public IProvideClassInfo {
 public:
  TypedScriptObject(ScriptObject* inner, ITypeInfo* iface, ITypeInfo* coclass, bool with_events)
      : inner_(inner), iface_(iface), coclass_(coclass) {
    iface_->AddRef();
    if (coclass_) coclass_->AddRef();
    if (coclass_ && with_events) {
      std::vector<ITypeInfo*> sources;
      TYPEATTR* attributes;
      if (SUCCEEDED(coclass_->GetTypeAttr(&attributes))) {
        for (UINT i = 0; i < attributes->cImplTypes; ++i) {
          int32_t flags = 0;
          HREFTYPE ref;
          ITypeInfo* events = nullptr;
          if (SUCCEEDED(coclass_->GetImplTypeFlags(i, &flags)) && (flags & IMPLTYPEFLAG_FSOURCE) &&
              SUCCEEDED(coclass_->GetRefTypeOfImplType(i, &ref)) &&
              SUCCEEDED(coclass_->GetRefTypeInfo(ref, &events)))
            sources.push_back(events);
        }
        coclass_->ReleaseTypeAttr(attributes);
      }
      if (!sources.empty()) points_ = new ConnectionPoints(static_cast<IDispatch*>(this), sources);
      for (ITypeInfo* events : sources) events->Release();
    }
  }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    TYPEATTR* attributes;
    bool implemented = false;
    if (SUCCEEDED(iface_->GetTypeAttr(&attributes))) {
      implemented = attributes->guid == iid;
      iface_->ReleaseTypeAttr(attributes);
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ITypedScriptObject || implemented)
      *object = static_cast<IDispatch*>(this);
    else if (iid == IID_IProvideClassInfo && coclass_)
      *object = static_cast<IProvideClassInfo*>(this);
    else if (iid == IID_IConnectionPointContainer && points_)
      *object = static_cast<IConnectionPointContainer*>(points_);
    else if (iid == IID_IScriptObject)
      // Handed back to its script, the object is the table it was made from.
      return inner_->QueryInterface(iid, object);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    iface_->AddRef();
    *info = iface_;
    return S_OK;
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return iface_->GetIDsOfNames(names, count, ids);
  }

  HRESULT Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override {
    WORD kind = kind_of(flags);
    if (kind == 0) return E_INVALIDARG;
    if (kind == INVOKE_PROPERTYPUTREF) {
      if (exception) {
        *exception = empty_exception();
        exception->bstrDescription = SysAllocString(PUTREF_UNSUPPORTED);
        exception->scode = DISP_E_EXCEPTION;
      }
      return DISP_E_EXCEPTION;
    }
    FUNCDESC* description = find_member(iface_, member, static_cast<INVOKEKIND>(kind));
    if (!description) return DISP_E_MEMBERNOTFOUND;
    VARTYPE result_type = description->elemdescFunc.vt;
    iface_->ReleaseFuncDesc(description);
    BSTR name = nullptr;
    UINT got = 0;
    if (FAILED(iface_->GetNames(member, &name, 1, &got)) || got != 1) return DISP_E_MEMBERNOTFOUND;
    DISPID inner_id;
    LPOLESTR names[1] = {name};
    HRESULT hr = inner_->GetIDsOfNames(IID_NULL, names, 1, locale, &inner_id);
    SysFreeString(name);
    if (FAILED(hr)) return hr == DISP_E_UNKNOWNNAME ? DISP_E_MEMBERNOTFOUND : hr;
    // A property get may also be answered by a method of that name, and the reverse.
    WORD inner_flags = kind == INVOKE_FUNC || kind == INVOKE_PROPERTYGET
                           ? static_cast<WORD>(DISPATCH_METHOD | DISPATCH_PROPERTYGET)
                           : flags;
    hr = inner_->Invoke(inner_id, iid, locale, inner_flags, params, result, exception, argument_error);
    // The result takes the type the interface declares.
    if (SUCCEEDED(hr) && result && result_type != VT_EMPTY && result_type != VT_VARIANT &&
        result_type != VT_VOID && result_type != VT_HRESULT && result->vt != result_type &&
        FAILED(VariantChangeType(result, result, 0, result_type))) {
      VariantClear(result);
      return DISP_E_TYPEMISMATCH;
    }
    return hr;
  }

  HRESULT GetClassInfo(ITypeInfo** info) override {
    if (!info) return E_POINTER;
    coclass_->AddRef();
    *info = coclass_;
    return S_OK;
  }

  ConnectionPoints* points() const { return points_; }

 private:
  ~TypedScriptObject() {
    if (points_) {
      // Sinks may call back while being let go; the object must not be reached again then.
      points_->disconnect_all();
      delete points_;
    }
    if (coclass_) coclass_->Release();
    iface_->Release();
    inner_->Release();
  }

  ULONG references_ = 1;
  ScriptObject* inner_;
  ITypeInfo* iface_;
  ITypeInfo* coclass_;
  ConnectionPoints* points_ = nullptr;
};

}  // namespace

IDispatch* new_typed_script_object(VmState* L, int idx, ITypeInfo* iface, ITypeInfo* coclass,
                                   bool with_events) {
  ScriptObject* inner = ScriptObject::create(L, idx);
  return static_cast<IDispatch*>(new TypedScriptObject(inner, iface, coclass, with_events));
}

ConnectionPoints* typed_object_connection_points(IUnknown* object) {
  if (!object) return nullptr;
  IDispatch* typed = nullptr;
  if (FAILED(object->QueryInterface(IID_ITypedScriptObject, reinterpret_cast<void**>(&typed))) || !typed)
    return nullptr;
  ConnectionPoints* points = static_cast<TypedScriptObject*>(typed)->points();
  typed->Release();  // the caller holds the object itself
  return points;
}

ITypeInfo* default_interface(ITypeInfo* coclass, bool source) {
  TYPEATTR* attributes;
  if (!coclass || FAILED(coclass->GetTypeAttr(&attributes))) return nullptr;
  UINT count = attributes->cImplTypes;
  bool is_class = attributes->typekind == TKIND_COCLASS;
  coclass->ReleaseTypeAttr(attributes);
  if (!is_class) return nullptr;
  ITypeInfo* fallback = nullptr;
  for (UINT i = 0; i < count; ++i) {
    int32_t flags = 0;
    HREFTYPE ref;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || FAILED(coclass->GetRefTypeOfImplType(i, &ref))) continue;
    if (((flags & IMPLTYPEFLAG_FSOURCE) != 0) != source) continue;
    ITypeInfo* info = nullptr;
    if (FAILED(coclass->GetRefTypeInfo(ref, &info))) continue;
    if (flags & IMPLTYPEFLAG_FDEFAULT) {
      if (fallback) fallback->Release();
      return info;
    }
    // Without a default the first one of its kind serves.
    if (!fallback) fallback = info;
    else info->Release();
  }
  return fallback;
}

}  // namespace quevro::com
