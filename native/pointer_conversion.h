// Turning script values into native addresses: pointers, strings, plain buffers, and any table
// or cdata whose metatable has `_topointer`.
#pragma once

#include "vm/state.h"

namespace quevro {

// The address the value at idx stands for. Null (and a missing value) give a null address when
// null_ok; a string's bytes count only when strings_ok. False when the value converts to nothing.
bool to_native_pointer(VmState* L, int idx, bool null_ok, bool strings_ok, void** out);

// Calls the value's `_topointer` handler when it has one, leaving the result on the stack top.
bool push_converted_pointer(VmState* L, int idx);

}  // namespace quevro
