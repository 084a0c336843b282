#include "com/object_functions.h"

#include <string>

#include "com/com_error.h"
#include "com/dispatch_object.h"
#include "com/enumerator_object.h"
#include "com/type_info.h"
#include "com/type_names.h"
#include "com/unknown_object.h"
#include "vm/arguments.h"

namespace quevro::com {
namespace {

constexpr const char* INVALID_OBJECT = "invalid object(com.IDispatch)";
constexpr const char* NO_PICTURE = "com.GetIPicture() QueryInterface Failed!";
// Pictures are whatever objects answer this interface; the bridge only hands them on.
constexpr IID IID_IPicture = {0x7BF80980, 0xBF32, 0x101A, {0x8B, 0xBB, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};

// One declaration line: "<result> <name>(<type> <parameter>, ...)", properties marked.
std::string member_line(ITypeInfo* info, const FUNCDESC* f) {
  BSTR names[64];
  UINT count = 0;
  info->GetNames(f->memid, names, 64, &count);
  std::string line = f->elemdescFunc.vt == VT_EMPTY ? "void" : declaration_type_name(f->elemdescFunc.vt);
  line += " " + (count ? utf8_from_bstr(names[0]) : std::string("?")) + "(";
  for (int16_t p = 0; p < f->cParams; ++p) {
    if (p) line += ", ";
    line += declaration_type_name(f->lprgelemdescParam[p].vt);
    if (static_cast<UINT>(p) + 1 < count) line += " " + utf8_from_bstr(names[p + 1]);
  }
  line += ")";
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
  switch (f->invkind) {
    case INVOKE_PROPERTYGET: line += " //propget"; break;
    case INVOKE_PROPERTYPUT: line += " //propput"; break;
    case INVOKE_PROPERTYPUTREF: line += " //propputref"; break;
    default: break;
  }
  return line;
}

}  // namespace

IUnknown* interface_of(VmState* L, int idx) {
  if (DispatchWrapper* object = to_dispatch_object(L, idx)) return object->dispatch;
  if (IUnknown* object = to_unknown_object(L, idx)) return object;
  if (IEnumVARIANT* items = to_enumerator_object(L, idx)) return items;
  if (type_of(L, idx) == TAG_POINTER) return static_cast<IUnknown*>(stack_address(L, idx)->u.p);
  return nullptr;
}

// com.QueryObject(object or pointer): the object's IDispatch (or .NET object interface).
int query_object(VmState* L) {
  IUnknown* object = interface_of(L, ARG1);
  if (!object) runtime_error_text(L, INVALID_OBJECT);
  ComRef<IDispatch> dispatch;
  HRESULT hr = object->QueryInterface(IID_IDispatch, dispatch.put_void());
  if (FAILED(hr)) hr = object->QueryInterface(IID_NetObject, dispatch.put_void());
  if (FAILED(hr) || !dispatch) runtime_error_text(L, com_error_text(FAILED(hr) ? hr : E_NOINTERFACE));
  push_dispatch_object(L, dispatch.get());
  return 1;
}

// com.GetIUnknown(object): the object's identity as an IUnknown object.
int get_iunknown(VmState* L) {
  IUnknown* object = interface_of(L, ARG1);
  if (!object) runtime_error_text(L, INVALID_OBJECT);
  ComRef<IUnknown> identity;
  HRESULT hr = object->QueryInterface(IID_IUnknown, identity.put_void());
  if (FAILED(hr) || !identity) runtime_error_text(L, com_error_text(FAILED(hr) ? hr : E_NOINTERFACE));
  push_unknown_object(L, identity.get());
  return 1;
}

// com.GetPointer(object): the interface pointer with a reference of its own, which the caller
// gives back with com.Release(pointer).
int get_pointer(VmState* L) {
  IUnknown* object = interface_of(L, ARG1);
  if (!object || type_of(L, ARG1) == TAG_POINTER) runtime_error_text(L, INVALID_OBJECT);
  object->AddRef();
  push_pointer(L, object);
  return 1;
}

// com.GetIPicture(object): the object's picture interface as an IUnknown object.
int get_ipicture(VmState* L) {
  IUnknown* object = interface_of(L, ARG1);
  ComRef<IUnknown> picture;
  if (!object || FAILED(object->QueryInterface(IID_IPicture, picture.put_void())) || !picture)
    runtime_error_text(L, NO_PICTURE);
  push_unknown_object(L, picture.get());
  return 1;
}

int is_net_object(VmState* L) {
  IUnknown* object = interface_of(L, ARG1);
  ComRef<IUnknown> net;
  push_boolean(L, object && type_of(L, ARG1) != TAG_POINTER &&
                      SUCCEEDED(object->QueryInterface(IID_NetObject, net.put_void())) && net);
  return 1;
}

// com.DumpTypeInfo(object): the object's interface as declaration lines, or null without type
// information.
int dump_type_info(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  ITypeInfo* info = object->info;
  if (!info) {
    push_null(L);
    return 1;
  }
  BSTR name = nullptr;
  info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  std::string text = "// " + utf8_from_bstr(name);
  SysFreeString(name);
  TYPEATTR* attributes;
  if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
    for (UINT i = 0; i < attributes->cFuncs; ++i) {
      FUNCDESC* f;
      if (FAILED(info->GetFuncDesc(i, &f))) continue;
      text += "\n" + member_line(info, f);
      info->ReleaseFuncDesc(f);
    }
    info->ReleaseTypeAttr(attributes);
  }
  push_lstring(L, text.data(), text.size());
  return 1;
}

}  // namespace quevro::com
