// The `raw` namespace: loading shared libraries, declaring and calling their functions,
// structures and raw memory, and callbacks.
#pragma once

#include "vm/state.h"

namespace quevro {

void open_raw_library(VmState* L);

}  // namespace quevro
