// What both executables do to start and stop: the main state with its libraries, the command
// line globals, running the main function, the top-level error report and the exit code.
#pragma once

#include <string>
#include <vector>

#include "vm/state.h"

namespace quevro {

// The file name used as the caption of top-level reports.
void set_report_caption(const std::string& caption);

// Creates a state with the panic handler and every native library opened; null on failure.
VmState* create_main_state();
void open_libraries(VmState* L);

// Defines `_CMDLINE` and `_ARGV` from the arguments the script sees.
void publish_command_line(VmState* L, const std::vector<std::string>& args);

// Runs "import builtin;" in protected mode; on failure reports it and returns false.
bool import_builtin(VmState* L);
// The same, reporting a failure under the given caption with the `onError` call.
bool import_builtin_with_caption(VmState* L, const char* caption);

// Calls the function on top of the stack with a null owner, in protected mode with the host's
// error handler, and turns its result into the exit code (a failure is reported and gives -1).
int run_main_function(VmState* L);

// Reports the value on top of the stack (when it is a string or number) as a top-level error.
void top_level_report(VmState* L, const char* caption, bool call_on_error);

// The exit code a result value gives: numbers and numeric strings rounded half to even to 32
// bits, anything else 0.
int exit_code_of(VmState* L, int idx);

// Calls `__beforeUnload`, collects and closes the state.
void shut_down(VmState* L);

}  // namespace quevro
