// Callback objects: a script function behind a native entry point (a libffi closure), called by
// native code with arguments and a result converted by a prototype string.
#pragma once

#include "vm/state.h"

namespace quevro {

constexpr const char* CALLBACK_TYPE = "callback";
// Stack words a prototype may take (4-byte units, as the 32-bit conventions count them).
constexpr int MAX_CALLBACK_WORDS = 20;

int raw_tostdcall(VmState* L);
int raw_tocdecl(VmState* L);
int raw_tofastcall(VmState* L);

// Thread callbacks: callable from any native thread, each calling thread running the function
// in a state of its own (its callback state), into which the function and owner are copied on
// its first call.
int thread_tostdcall(VmState* L);
int thread_tocdecl(VmState* L);
int thread_tofastcall(VmState* L);

// Drops the calling thread's entries in every thread callback and closes its callback state (a
// thread that ends, or thread.callbackUninitialize).
void end_thread_callback_states();

void register_callback_type(VmState* L);

}  // namespace quevro
