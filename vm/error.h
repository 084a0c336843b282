// Raising errors and catching them: recovery points, the status codes' texts, and the runtime
// error path that annotates a message with the script position.
#pragma once

#include <string>

#include "vm/format.h"
#include "vm/state.h"

namespace quevro {

// A protected region on a fiber. Errors unwind to the innermost one as an ErrorUnwind exception.
struct RecoveryPoint {
  RecoveryPoint* previous;
  int status;
};

struct ErrorUnwind {
  int status;
};

// Unwinds to the innermost recovery point with the given status; without one the fiber is
// handed to the panic function and the process ends with exit code 1.
[[noreturn]] void throw_status(VmState* L, int status);

// Runs body under a recovery point; returns the status it ended with (0 when it returned).
int run_protected(VmState* L, void (*body)(VmState* L, void* ud), void* ud);

// Raises the value on top of the stack as a runtime error (status 2), first passing it through
// the installed error handler.
[[noreturn]] void raise_error(VmState* L);

// Raises a message as a runtime error, annotated with the line and source of the running script
// function when there is one.
[[noreturn]] void runtime_error_text(VmState* L, const std::string& message);

template <class... A>
[[noreturn]] void runtime_error(VmState* L, const char* fmt, A... args) {
  runtime_error_text(L, format_message(fmt, args...));
}

// Places the error value of a status at slot (the fixed texts for memory and handler errors, the
// value on top of the stack otherwise).
void place_error_value(VmState* L, int status, Value* slot);

// The status table's text: "no error", "runtime error[: message]", "memory allocation error.", ...
std::string status_text(int status, const char* message = nullptr);

// Display form of a chunk's source name, at most 49 characters.
std::string source_display_name(const StringObject* source);

// Line of the instruction a script frame is executing, or -1.
int current_line(VmState* L, CallFrame* frame);

}  // namespace quevro
