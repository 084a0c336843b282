// The default allocation function of a state: small blocks come from per-size free lists carved
// out of large slabs, larger ones from the C library. Objects of a script heap are mostly small
// and short-lived; recycling them from free lists keeps allocation cheap and memory warm.
#pragma once

#include <cstddef>
#include <vector>

namespace quevro {

namespace small_blocks {

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

  // The lane due next, else any other; null when all are empty.
  FreeBlock* pop() {
    FreeBlock*& h = head[pop_lane % FREE_LANES];
    if (FreeBlock* b = h) [[likely]] {
      ++pop_lane;
      h = b->next;
      __builtin_prefetch(b->next, 1);
      return b;
    }
    return pop_other_lane();
  }

  FreeBlock* pop_other_lane() {
    for (unsigned k = 1; k < FREE_LANES; ++k) {
      FreeBlock*& h = head[(pop_lane + k) % FREE_LANES];
      if (FreeBlock* b = h) {
        pop_lane += k + 1;
        h = b->next;
        return b;
      }
    }
    return nullptr;
  }
};

inline size_t class_of(size_t size) { return (size - 1) / GRANULE; }
inline bool is_small(size_t size) { return size - 1 < LARGEST_SMALL; }  // 1..LARGEST_SMALL

}  // namespace small_blocks

class SmallBlockPool {
 public:
  ~SmallBlockPool();

  // size: 1 to LARGEST_SMALL.
  void* allocate(size_t size) {
    if (small_blocks::FreeBlock* b = free_[small_blocks::class_of(size)].pop()) return b;
    return carve(size);
  }

  // A free block of this size, or null (then allocate carves one).
  void* take_free(size_t size) { return free_[small_blocks::class_of(size)].pop(); }

  void release(void* block, size_t size) {
    free_[small_blocks::class_of(size)].push(static_cast<small_blocks::FreeBlock*>(block));
  }

 private:
  void* carve(size_t size);
  void recycle_tail();

  small_blocks::FreeList free_[small_blocks::CLASS_COUNT];
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  std::vector<void*> slabs_;
};

SmallBlockPool* new_small_block_pool();
void delete_small_block_pool(SmallBlockPool* pool);

// Realloc semantics over a pool (the ud argument): new_size 0 frees, a null block allocates.
void* pool_alloc(void* ud, void* block, size_t old_size, size_t new_size);

}  // namespace quevro
