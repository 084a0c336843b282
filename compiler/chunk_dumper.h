// Writing a function's prototypes back out as a precompiled chunk.
#pragma once

#include <cstddef>

#include "vm/state.h"

namespace quevro {

// Receives each piece of the chunk; a non-zero result stops the dump and becomes its result.
using ChunkWriter = int (*)(VmState* L, const void* bytes, size_t size, void* ud);

// Dumps p (and everything nested in it). With strip, no source, line information, local names
// or upvalue names are written; chunk_name (may be null) replaces the main function's source.
int dump_prototype(VmState* L, const Prototype* p, ChunkWriter writer, void* ud, bool strip, const char* chunk_name);

}  // namespace quevro
