// The default allocation function of a state: small blocks come from per-size free lists carved
// out of large slabs, larger ones from the C library. Objects of a script heap are mostly small
// and short-lived; recycling them from free lists keeps allocation cheap and memory warm.
#pragma once

#include <cstddef>

namespace quevro {

class SmallBlockPool;

SmallBlockPool* new_small_block_pool();
void delete_small_block_pool(SmallBlockPool* pool);

// Realloc semantics over a pool (the ud argument): new_size 0 frees, a null block allocates.
void* pool_alloc(void* ud, void* block, size_t old_size, size_t new_size);

}  // namespace quevro
