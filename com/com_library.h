// The `com` namespace: creating automation objects and setting their preferences.
#pragma once

#include "vm/api.h"

namespace quevro::com {

// The library's name: its registry table holds the object types it registers.
inline constexpr const char* COM_LIBRARY = "com";

void open_com_library(VmState* L);

// Pushes the metatable the library registered for one of its object types.
void push_com_metatable(VmState* L, const char* type);
// The cdata at idx when its metatable is that of the library's type; null otherwise.
void* com_cdata_of_type(VmState* L, int idx, const char* type);

}  // namespace quevro::com
