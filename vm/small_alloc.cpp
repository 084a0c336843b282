#include "vm/small_alloc.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace quevro {

using namespace small_blocks;

SmallBlockPool::~SmallBlockPool() {
  for (void* slab : slabs_) std::free(slab);
}

// No free block of this size: cut one from the current slab, starting a new slab when the rest
// of this one is too small.
void* SmallBlockPool::carve(size_t size) {
  size_t bytes = (class_of(size) + 1) * GRANULE;
  if (static_cast<size_t>(limit_ - cursor_) < bytes) {
    recycle_tail();
    char* slab = static_cast<char*>(std::malloc(SLAB_SIZE));
    if (slab == nullptr) return nullptr;
    try {
      slabs_.push_back(slab);
    } catch (const std::bad_alloc&) {
      std::free(slab);
      return nullptr;
    }
    cursor_ = slab;
    limit_ = slab + SLAB_SIZE;
  }
  void* block = cursor_;
  cursor_ += bytes;
  return block;
}

// The rest of the current slab is too small for the class asked for: hand it to the free lists.
void SmallBlockPool::recycle_tail() {
  while (static_cast<size_t>(limit_ - cursor_) >= GRANULE) {
    size_t fit = static_cast<size_t>(limit_ - cursor_);
    if (fit > LARGEST_SMALL) fit = LARGEST_SMALL;
    fit -= fit % GRANULE;
    release(cursor_, fit);
    cursor_ += fit;
  }
}

SmallBlockPool* new_small_block_pool() { return new (std::nothrow) SmallBlockPool(); }

void delete_small_block_pool(SmallBlockPool* pool) { delete pool; }

void* pool_alloc(void* ud, void* block, size_t old_size, size_t new_size) {
  auto* pool = static_cast<SmallBlockPool*>(ud);
  bool old_small = block != nullptr && is_small(old_size);
  if (new_size == 0) {
    if (old_small)
      pool->release(block, old_size);
    else
      std::free(block);
    return nullptr;
  }
  bool new_small = is_small(new_size);
  if (block == nullptr) return new_small ? pool->allocate(new_size) : std::malloc(new_size);
  if (old_small && new_small && class_of(old_size) == class_of(new_size)) return block;
  if (!old_small && !new_small) return std::realloc(block, new_size);
  void* fresh = new_small ? pool->allocate(new_size) : std::malloc(new_size);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, block, old_size < new_size ? old_size : new_size);
  if (old_small)
    pool->release(block, old_size);
  else
    std::free(block);
  return fresh;
}

}  // namespace quevro
