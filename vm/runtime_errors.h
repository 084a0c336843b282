// The runtime's error messages, formatted in one place.
#pragma once

#include "vm/state.h"

namespace quevro {

// "\n{Attempt to}:<operation>..." naming the offending value (described when it is a register of
// the running script function).
[[noreturn]] void type_error(VmState* L, const Value* v, const char* operation);
// Names the left operand when it is not numeric (nor a numeric string), else the right one.
[[noreturn]] void arith_error(VmState* L, const Value* a, const Value* b);
[[noreturn]] void compare_error(VmState* L, const Value* a, const Value* b);

}  // namespace quevro
