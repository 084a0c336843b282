// pathInfo objects: a path split into drive, folder, name and extension (io.splitpath).
#pragma once

#include "vm/state.h"

namespace quevro {

// io.splitpath(path): a new pathInfo object.
int io_splitpath(VmState* L);

// Registers the pathInfo type's metatable in the registry; leaves nothing on the stack.
void register_path_info_type(VmState* L);

}  // namespace quevro
