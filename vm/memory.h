// The one allocation path of a virtual machine: every block goes through the state's allocation
// function (realloc semantics) and is counted in the shared byte total.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vm/value.h"

namespace quevro {

// Reallocates a block; new_size 0 frees it. Raises the memory error when the allocator fails.
void* mem_realloc(VmState* L, void* block, size_t old_size, size_t new_size);
// mem_free and mem_new_object are inline in vm/state.h, beside the allocator they take shortcuts to.

// Raises "memory allocation error: block too big".
[[noreturn]] void block_too_big(VmState* L);

// A vector of count elements; count + 1 must not exceed limit.
template <class T>
T* mem_realloc_vector(VmState* L, T* block, size_t old_count, size_t new_count, size_t limit) {
  if (new_count + 1 > limit) block_too_big(L);
  return static_cast<T*>(mem_realloc(L, block, old_count * sizeof(T), new_count * sizeof(T)));
}

// The allocation function used when the host gives none: realloc and free from the C library.
void* default_alloc(void* ud, void* block, size_t old_size, size_t new_size);

}  // namespace quevro
