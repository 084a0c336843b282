// How states other than the main one come to life and end: callback states and thread states
// are made the way the executable makes its main state, with every library it opens. The
// executable installs that recipe at start-up; the layers below the libraries only call it.
#pragma once

#include "vm/state.h"

namespace quevro {

using StateCreator = VmState* (*)();

void install_state_creator(StateCreator create);

// A new state with the executable's libraries; null when none could be made (or no recipe is
// installed).
VmState* create_library_state();

// Runs "import builtin;" in protected mode; on failure reports it (under the caption, with the
// `onError` call when a caption is given) and returns false.
bool import_builtin(VmState* L);
bool import_builtin_with_caption(VmState* L, const char* caption);

// Calls `__beforeUnload`, collects and closes the state.
void shut_down(VmState* L);

}  // namespace quevro
