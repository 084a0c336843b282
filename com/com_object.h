// The IUnknown part of an object that answers one interface: QueryInterface for IUnknown and
// that interface, and the reference count that deletes the object (as Derived) with its last
// reference.
#pragma once

#include <atomic>

#include "com/com_types.h"

namespace quevro::com {

// QueryInterface of an object that answers IUnknown and one interface: the object with a new
// reference, or E_NOINTERFACE. Shared by objects whose reference count lives elsewhere.
template <class Interface>
HRESULT answer_one_interface(Interface* self, REFIID interface_id, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == interface_id) {
    *object = self;
    self->AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

template <class Derived, class Interface, const IID* InterfaceId>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    return answer_one_interface<Interface>(this, *InterfaceId, iid, object);
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
