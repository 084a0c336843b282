// Precompiled chunks: the loader and the dumper of the byte format that starts with "=quevro".
#pragma once

#include <cstddef>

#include "vm/state.h"

namespace quevro {

// Reads a precompiled chunk into the prototype of its main function; every prototype passes the
// code verifier. Failures are raised as "<name>: <problem> in precompiled chunk".
Prototype* load_precompiled(VmState* L, const char* data, size_t len, const char* chunk_name);

}  // namespace quevro
