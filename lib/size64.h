// math.size64, the unsigned 64-bit integer type of scripts: an 8-byte cdata (low 32 bits, then
// high 32 bits) whose metatable is registered as registry.math.size64. Everything that hands
// exact 64-bit values to scripts or takes them back (native calls, thread transfers, the
// automation bridge) converts through these functions.
#pragma once

#include <cstdint>

#include "vm/state.h"

namespace quevro {

// True when the value at idx is a math.size64 object.
bool is_size64(VmState* L, int idx);

// The value at idx as 64 bits: a math.size64 object's value, or a number (or numeric string)
// converted as u64_from_number does. False for anything else.
bool to_size64(VmState* L, int idx, uint64_t* out);

// As to_size64, raising the bad-argument error ("math.size64|number" expected) otherwise.
uint64_t check_size64(VmState* L, int idx);

// Pushes a new math.size64 object holding v.
void push_size64(VmState* L, uint64_t v);

// Pushes the metatable of math.size64, creating and registering it on first use, so that states
// which never opened the math namespace can still receive such values.
void push_size64_metatable(VmState* L);

// The value given by the arguments from stack slot `first` on, as math.size64(...) and reset
// read them: a string is parsed (hexadecimal after "0x", octal after a leading 0, else decimal;
// digits beyond 2^64 - 1 raise a bad argument), a math.size64 object gives its value, otherwise
// one or two numbers give the low and the high half (see u64_from_halves).
uint64_t size64_from_arguments(VmState* L, int first);

}  // namespace quevro
