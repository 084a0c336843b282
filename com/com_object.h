// The IUnknown part of an object that answers one interface: QueryInterface for IUnknown and
// that interface, and the reference count that deletes the object (as Derived) with its last
// reference.
#pragma once

#include <atomic>

#include "com/com_types.h"

namespace quevro::com {

template <class Derived, class Interface, const IID* InterfaceId>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == *InterfaceId) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  ComObject() = default;
  ~ComObject() = default;

 private:
  std::atomic<ULONG> references_{1};
};

}  // namespace quevro::com
