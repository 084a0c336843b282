// The `math` namespace: numeric functions and constants, random numbers, range helpers and the
// unsigned 64-bit type math.size64 (lib/size64.h).
#pragma once

#include "vm/state.h"

namespace quevro {

void open_math_library(VmState* L);

}  // namespace quevro
