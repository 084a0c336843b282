// Moving a value from one state to another. States never share objects, so every value that
// crosses is rebuilt in the target: tables from their serialised source, script functions from
// their precompiled chunk (with fresh upvalues), byte blocks as copies.
#pragma once

#include "vm/state.h"

namespace quevro {

// Pushes onto `to` a copy of the value at idx in `from`. Returns false (pushing nothing onto
// `to`) when the value cannot cross: fibers, native functions, or a table or chunk that does not
// rebuild in the target. `to` must be a different state; the caller owns both.
bool transfer_value(VmState* from, int idx, VmState* to);

}  // namespace quevro
