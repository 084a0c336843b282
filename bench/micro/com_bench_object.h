// The automation object the benchmarks call from scripts: one method, Add(a, b), resolved by
// name and invoked with two numbers, as a typical component's simplest member is.
#pragma once

#include "com/dispatch_params.h"

namespace quevro::bench {

class AddingObject final : public com::IDispatch {
 public:
  com::HRESULT QueryInterface(com::REFIID iid, void** object) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IDispatch) {
      *object = static_cast<com::IDispatch*>(this);
      AddRef();
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return ++references_; }
  com::ULONG Release() override {
    com::ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  com::HRESULT GetTypeInfoCount(com::UINT* count) override {
    *count = 0;
    return com::S_OK;
  }
  com::HRESULT GetTypeInfo(com::UINT, com::LCID, com::ITypeInfo**) override { return com::E_NOTIMPL; }
  com::HRESULT GetIDsOfNames(com::REFIID, com::LPOLESTR* names, com::UINT count, com::LCID,
                             com::DISPID* ids) override {
    if (count != 1 || names[0][0] != u'A' || names[0][1] != u'd' || names[0][2] != u'd' || names[0][3])
      return com::DISP_E_UNKNOWNNAME;
    ids[0] = 1;
    return com::S_OK;
  }
  com::HRESULT Invoke(com::DISPID member, com::REFIID, com::LCID, com::WORD flags,
                      com::DISPPARAMS* params, com::VARIANT* result, com::EXCEPINFO*,
                      com::UINT*) override {
    if (member != 1 || !(flags & com::DISPATCH_METHOD)) return com::DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 2) return com::DISP_E_BADPARAMCOUNT;
    com::VARIANT a, b;
    com::VariantInit(&a);
    com::VariantInit(&b);
    if (com::FAILED(com::VariantChangeType(&a, &params->rgvarg[1], 0, com::VT_R8)) ||
        com::FAILED(com::VariantChangeType(&b, &params->rgvarg[0], 0, com::VT_R8)))
      return com::DISP_E_TYPEMISMATCH;
    result->vt = com::VT_R8;
    result->dblVal = a.dblVal + b.dblVal;
    return com::S_OK;
  }

 private:
  com::ULONG references_ = 1;
};

}  // namespace quevro::bench
