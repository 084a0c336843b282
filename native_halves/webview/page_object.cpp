#include "page_object.h"

namespace webview_com {

PageObject* PageObject::create(std::vector<std::pair<std::u16string, VARIANT>> members) {
  return new PageObject(std::move(members));
}

PageObject::~PageObject() {
  for (auto& m : members_) automation()->variant_clear(&m.second);
}

HRESULT PageObject::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IPageObject) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG PageObject::AddRef() { return ++references_; }

ULONG PageObject::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT PageObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT PageObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT PageObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if ((!names || !ids) && count > 0) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    ids[i] = -1;
    if (i > 0 || !names[i]) {
      hr = DISP_E_UNKNOWNNAME;
      continue;
    }
    std::u16string wanted(names[i]);
    for (size_t k = 0; k < members_.size(); ++k)
      if (members_[k].first == wanted) ids[i] = static_cast<DISPID>(k + 1);
    if (ids[i] == -1) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

// Members are values, never methods: a read (or a call without arguments, which reads) answers a
// copy of the value; nothing can be written.
HRESULT PageObject::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO*, UINT*) {
  if (member < 1 || static_cast<size_t>(member) > members_.size()) return DISP_E_MEMBERNOTFOUND;
  if (!(flags & DISPATCH_PROPERTYGET) || (params && params->cArgs > 0)) return DISP_E_MEMBERNOTFOUND;
  if (!result) return S_OK;
  return automation()->variant_copy(result, &members_[static_cast<size_t>(member) - 1].second);
}

}  // namespace webview_com
