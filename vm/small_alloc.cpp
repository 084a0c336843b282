#include "vm/small_alloc.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace quevro {

namespace {

constexpr size_t GRANULE = 8;  // every block is 8-byte aligned, which is all a Value needs
constexpr size_t LARGEST_SMALL = 512;
constexpr size_t CLASS_COUNT = LARGEST_SMALL / GRANULE;
constexpr size_t SLAB_SIZE = 256 * 1024;

struct FreeBlock {
  FreeBlock* next;
};

inline size_t class_of(size_t size) { return (size - 1) / GRANULE; }

}  // namespace

class SmallBlockPool {
 public:
  ~SmallBlockPool() {
    for (void* slab : slabs_) std::free(slab);
  }

  void* allocate(size_t size) {
    size_t c = class_of(size);
    if (FreeBlock* b = free_[c]) {
      free_[c] = b->next;
      // Freed blocks are cold; fetching the next one now hides its miss behind this allocation.
      __builtin_prefetch(b->next, 1);
      return b;
    }
    size_t bytes = (c + 1) * GRANULE;
    if (static_cast<size_t>(limit_ - cursor_) < bytes) {
      // The rest of the current slab is too small for this class: hand it to the free lists.
      recycle_tail();
      char* slab = static_cast<char*>(std::malloc(SLAB_SIZE));
      if (slab == nullptr) return nullptr;
      slabs_.push_back(slab);
      cursor_ = slab;
      limit_ = slab + SLAB_SIZE;
    }
    void* block = cursor_;
    cursor_ += bytes;
    return block;
  }

  void release(void* block, size_t size) {
    size_t c = class_of(size);
    auto* b = static_cast<FreeBlock*>(block);
    b->next = free_[c];
    free_[c] = b;
  }

 private:
  void recycle_tail() {
    while (static_cast<size_t>(limit_ - cursor_) >= GRANULE) {
      size_t fit = static_cast<size_t>(limit_ - cursor_);
      if (fit > LARGEST_SMALL) fit = LARGEST_SMALL;
      fit -= fit % GRANULE;
      release(cursor_, fit);
      cursor_ += fit;
    }
  }

  FreeBlock* free_[CLASS_COUNT] = {};
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  std::vector<void*> slabs_;
};

SmallBlockPool* new_small_block_pool() { return new (std::nothrow) SmallBlockPool(); }

void delete_small_block_pool(SmallBlockPool* pool) { delete pool; }

void* pool_alloc(void* ud, void* block, size_t old_size, size_t new_size) {
  auto* pool = static_cast<SmallBlockPool*>(ud);
  bool old_small = block != nullptr && old_size > 0 && old_size <= LARGEST_SMALL;
  if (new_size == 0) {
    if (old_small)
      pool->release(block, old_size);
    else
      std::free(block);
    return nullptr;
  }
  bool new_small = new_size <= LARGEST_SMALL;
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
