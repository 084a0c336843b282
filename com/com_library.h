// The `com` namespace: creating automation objects and setting their preferences.
#pragma once

#include "vm/api.h"

namespace quevro::com {

// The library's name: its registry table holds the object types it registers.
inline constexpr const char* COM_LIBRARY = "com";

void open_com_library(VmState* L);

}  // namespace quevro::com
