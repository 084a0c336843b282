// The `io` namespace: files, the standard streams, printing and paths.
#pragma once

#include "vm/state.h"

namespace quevro {

void open_io_library(VmState* L);

}  // namespace quevro
