#include "vm/memory.h"

#include <cstdlib>

#include "vm/error.h"
#include "vm/state.h"

namespace quevro {

void* default_alloc(void*, void* block, size_t, size_t new_size) {
  if (new_size == 0) {
    std::free(block);
    return nullptr;
  }
  return std::realloc(block, new_size);
}

void* mem_realloc(VmState* L, void* block, size_t old_size, size_t new_size) {
  SharedState* g = G(L);
  void* result = g->alloc(g->alloc_ud, block, old_size, new_size);
  if (result == nullptr && new_size > 0) throw_status(L, STATUS_MEMORY);
  g->total_bytes = g->total_bytes - old_size + new_size;
  return result;
}

void mem_free(SharedState* g, void* block, size_t size) {
  if (block == nullptr) return;
  g->alloc(g->alloc_ud, block, size, 0);
  g->total_bytes -= size;
}

void block_too_big(VmState* L) { runtime_error(L, "memory allocation error: block too big"); }

}  // namespace quevro
