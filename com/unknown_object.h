// Bare IUnknown objects in scripts: interfaces that answer no IDispatch, held (one reference)
// so they can be passed back to automation objects.
#pragma once

#include "com/com_types.h"
#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* UNKNOWN_TYPE = "IUnknown";

void register_unknown_type(VmState* L);

// Pushes a new IUnknown object for the interface, adding a reference of its own.
void push_unknown_object(VmState* L, IUnknown* object);

// The interface of the IUnknown object at idx; null when the value is not one.
IUnknown* to_unknown_object(VmState* L, int idx);
// Releases the interface of the IUnknown object at idx now; the object holds nothing after.
void release_unknown_object(VmState* L, int idx);

}  // namespace quevro::com
