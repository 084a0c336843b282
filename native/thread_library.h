// The `thread` namespace: script functions run on native threads, each with a state of its own,
// and the ways such threads cooperate (the shared state and named locks).
#pragma once

#include "vm/state.h"

namespace quevro {

void open_thread_library(VmState* L);

}  // namespace quevro
