#include "com/unknown_object.h"

#include "com/com_library.h"
#include "runtime/library_registry.h"

namespace quevro::com {
namespace {

IUnknown** holder_at(VmState* L, int idx) {
  return static_cast<IUnknown**>(com_cdata_of_type(L, idx, UNKNOWN_TYPE));
}

int unknown_gc(VmState* L) {
  release_unknown_object(L, 1);
  return 0;
}

int unknown_pointer(VmState* L) {
  push_pointer(L, to_unknown_object(L, 1));
  return 1;
}

int unknown_equal(VmState* L) {
  IUnknown* a = to_unknown_object(L, 1);
  push_boolean(L, a && a == to_unknown_object(L, 2));
  return 1;
}

}  // namespace

void register_unknown_type(VmState* L) {
  static const LibraryFunction fields[] = {{"_gc", unknown_gc},
                                           {"_topointer", unknown_pointer},
                                           {"_eq", unknown_equal},
                                           {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, UNKNOWN_TYPE, fields);
  pop(L, 1);
}

void push_unknown_object(VmState* L, IUnknown* object) {
  auto** holder = static_cast<IUnknown**>(new_cdata(L, sizeof(IUnknown*)));
  *holder = nullptr;
  push_com_metatable(L, UNKNOWN_TYPE);
  set_metatable(L, -2);
  // The reference is taken only once the cdata that releases it exists.
  object->AddRef();
  *holder = object;
}

void release_unknown_object(VmState* L, int idx) {
  if (IUnknown** holder = holder_at(L, idx)) {
    if (IUnknown* object = *holder) {
      *holder = nullptr;
      object->Release();
    }
  }
}

IUnknown* to_unknown_object(VmState* L, int idx) {
  IUnknown** holder = holder_at(L, idx);
  return holder ? *holder : nullptr;
}

}  // namespace quevro::com
