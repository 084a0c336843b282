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

// The free blocks of one size. Freed blocks are cold by the time they are reused, and a single
// chain can only be fetched one block at a time; with the blocks dealt over a few chains taken in
// turn, the next block of each chain is fetched several allocations before it is needed.
constexpr unsigned FREE_LANES = 4;

struct FreeList {
  FreeBlock* head[FREE_LANES] = {};
  unsigned push_lane = 0;
  unsigned pop_lane = 0;

  void push(FreeBlock* b) {
    FreeBlock*& h = head[push_lane++ % FREE_LANES];
    b->next = h;
    h = b;
  }

  FreeBlock* pop() {
    for (unsigned k = 0; k < FREE_LANES; ++k) {
      FreeBlock*& h = head[pop_lane++ % FREE_LANES];
      if (FreeBlock* b = h) {
        h = b->next;
        __builtin_prefetch(b->next, 1);
        return b;
      }
    }
    return nullptr;
  }
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
    if (FreeBlock* b = free_[c].pop()) return b;
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
    free_[class_of(size)].push(static_cast<FreeBlock*>(block));
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

  FreeList free_[CLASS_COUNT];
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
