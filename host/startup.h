// What both executables do to start and stop: the main state with its libraries, the command
// line globals, running the main function, the top-level error report and the exit code.
#pragma once

#include <string>
#include <vector>

#include "runtime/state_lifecycle.h"
#include "runtime/top_level_report.h"
#include "vm/state.h"

namespace quevro {

// Creates a state with the panic handler and every native library opened; null on failure.
VmState* create_main_state();
void open_libraries(VmState* L);

// Defines `_CMDLINE` and `_ARGV` from the arguments the script sees.
void publish_command_line(VmState* L, const std::vector<std::string>& args);

// Calls the function on top of the stack with a null owner, in protected mode with the host's
// error handler, and turns its result into the exit code (a failure is reported and gives -1).
int run_main_function(VmState* L);

// The exit code a result value gives: numbers and numeric strings rounded half to even to 32
// bits, anything else 0.
int exit_code_of(VmState* L, int idx);

}  // namespace quevro
