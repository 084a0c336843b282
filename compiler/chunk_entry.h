// The one entry that turns chunk bytes into a function: precompiled chunks (first byte "=") go
// to the chunk loader, everything else to the compiler.
#pragma once

#include <cstddef>

#include "vm/state.h"

namespace quevro {

// Loads a chunk and pushes its function (a closure over the global table). Returns the status;
// on failure the error message is pushed instead.
int load_buffer(VmState* L, const char* data, size_t len, const char* chunk_name);
// Reads the chunk from a reader function at stack index `reader`.
int load_from_reader(VmState* L, int reader, const char* chunk_name);
// Reads and loads a script file ("@path" chunk name); a file that cannot be opened gives status 6.
int load_file(VmState* L, const char* path);

}  // namespace quevro
