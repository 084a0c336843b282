// A countable automation object for the core's units: it records its references and answers
// IUnknown and IDispatch, with a default member that yields a configurable value.
#pragma once

#include "com/dispatch_params.h"

namespace quevro::com::testing {

class CountedObject final : public IDispatch {
 public:
  ULONG references = 1;
  VARIANT value{};  // what reading the default member gives
  int invocations = 0;

  CountedObject() { VariantInit(&value); }
  ~CountedObject() { VariantClear(&value); }

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The object lives on the test's stack; the count is what the tests check.
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                 EXCEPINFO*, UINT*) override {
    ++invocations;
    if (member != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (value.vt == VT_EMPTY) return DISP_E_MEMBERNOTFOUND;
    return VariantCopy(result, &value);
  }
};

}  // namespace quevro::com::testing
