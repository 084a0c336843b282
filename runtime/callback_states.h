// States for native callbacks that arrive on a thread without a state of its own: one per
// thread, shared by reference count, created the way the main state is.
#pragma once

#include "vm/state.h"

namespace quevro {

// The callback state of the calling thread, created on first use (with "import builtin;" run in
// it); null when it could not be made ready (the failure was reported). Each call must be paired
// with release_callback_state.
VmState* acquire_callback_state();
void release_callback_state(VmState* L);

// Closes the calling thread's callback state, whatever its count (when the thread ends).
void close_thread_callback_state();

}  // namespace quevro
