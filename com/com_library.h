// The `com` namespace: creating automation objects and setting their preferences.
#pragma once

#include "vm/api.h"

namespace quevro::com {

void open_com_library(VmState* L);

}  // namespace quevro::com
