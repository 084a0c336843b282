// The native `debug` namespace: what running code can learn about its calls (levels, functions,
// local variables, upvalues, a traceback, the call depth) and hook objects that run script
// functions on call, return and line events.
#pragma once

#include "vm/state.h"

namespace quevro {

// The library's opener, entered as the preloader "(debug)": the first `import debug` runs it.
// It registers the namespace and creates the hook objects' metatable.
int open_debug_library(VmState* L);

}  // namespace quevro
