#include "vm/memory.h"

#include <cstdlib>

#include "vm/error.h"
#include "vm/small_alloc.h"
#include "vm/state.h"

namespace quevro {

void* default_alloc(void*, void* block, size_t, size_t new_size) {
  if (new_size == 0) {
    std::free(block);
    return nullptr;
  }
  return std::realloc(block, new_size);
}

// With the default allocator, new small blocks go straight to its pool: they are most of a
// script's allocations, and the general function is a call through a pointer with the realloc
// cases to sort out first.
void* mem_realloc(VmState* L, void* block, size_t old_size, size_t new_size) {
  SharedState* g = G(L);
  void* result;
  if (block == nullptr && g->alloc == pool_alloc && small_blocks::is_small(new_size)) [[likely]]
    result = static_cast<SmallBlockPool*>(g->alloc_ud)->allocate(new_size);
  else
    result = g->alloc(g->alloc_ud, block, old_size, new_size);
  if (result == nullptr && new_size > 0) [[unlikely]] throw_status(L, STATUS_MEMORY);
  g->total_bytes = g->total_bytes - old_size + new_size;
  return result;
}

void free_through_allocator(SharedState* g, void* block, size_t size) {
  g->alloc(g->alloc_ud, block, size, 0);
  g->total_bytes -= size;
}

void block_too_big(VmState* L) { runtime_error(L, "memory allocation error: block too big"); }

}  // namespace quevro
