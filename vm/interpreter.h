// The instruction loop.
#pragma once

#include "vm/state.h"

namespace quevro {

// Runs the script frames from the current one until the RETURN that brings the count of nested
// script calls (initially `nested`) to zero, or until something yields.
void execute(VmState* L, int nested);

}  // namespace quevro
