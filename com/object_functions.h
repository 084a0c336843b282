// The `com` functions on interface pointers and type information of any object:
// QueryObject, GetIUnknown, GetPointer, GetIPicture, IsNetObject and DumpTypeInfo.
#pragma once

#include "com/com_types.h"
#include "vm/api.h"

namespace quevro::com {

int query_object(VmState* L);
int get_iunknown(VmState* L);
int get_pointer(VmState* L);
int get_ipicture(VmState* L);
int is_net_object(VmState* L);
int dump_type_info(VmState* L);

// The interface behind an automation object, an IUnknown object or a pointer value; null for
// anything else. No reference is added.
IUnknown* interface_of(VmState* L, int idx);

}  // namespace quevro::com
