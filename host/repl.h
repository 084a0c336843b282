// The interactive prompt of the runner.
#pragma once

#include "vm/state.h"

namespace quevro {

// Reads statements from standard input and runs them until end of input; returns the exit code.
int run_prompt(VmState* L);

}  // namespace quevro
