// Native values of a type code read back into script values: results of calls, by-reference
// cells and callback arguments all convert the same way.
#pragma once

#include "vm/state.h"

namespace quevro {

// Pushes the value of type `code` stored at `at` (in memory, at its own width).
void push_native_value(VmState* L, char code, const void* at);

}  // namespace quevro
