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

void register_callback_type(VmState* L);

}  // namespace quevro
