#include "native/growable_blocks.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace quevro {

namespace {

// Blocks may be created by one script state and used by another thread's.
std::mutex blocks_lock;
std::unordered_set<void*>& live_blocks() {
  static std::unordered_set<void*> blocks;
  return blocks;
}

constexpr size_t TERMINATOR_BYTES = 2;

}  // namespace

BlockHeader* block_header(void* data) {
  if (data == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(blocks_lock);
  if (live_blocks().count(data) == 0) return nullptr;
  return reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(data) - sizeof(BlockHeader));
}

void* resize_block(void* data, size_t capacity) {
  if (capacity > MAX_BLOCK_CAPACITY) return nullptr;
  BlockHeader* old = block_header(data);
  size_t old_capacity = old ? old->capacity : 0;
  void* raw = std::realloc(old, sizeof(BlockHeader) + capacity + TERMINATOR_BYTES);
  if (raw == nullptr) return nullptr;
  auto* header = static_cast<BlockHeader*>(raw);
  unsigned char* bytes = static_cast<unsigned char*>(raw) + sizeof(BlockHeader);
  if (old == nullptr) header->used = 0;
  if (capacity > old_capacity) std::memset(bytes + old_capacity, 0, capacity - old_capacity);
  std::memset(bytes + capacity, 0, TERMINATOR_BYTES);
  header->capacity = static_cast<uint32_t>(capacity);
  if (header->used > capacity) header->used = static_cast<uint32_t>(capacity);
  std::lock_guard<std::mutex> guard(blocks_lock);
  if (old) live_blocks().erase(data);
  live_blocks().insert(bytes);
  return bytes;
}

void free_block(void* data) {
  BlockHeader* header = block_header(data);
  if (header == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(blocks_lock);
    live_blocks().erase(data);
  }
  std::free(header);
}

}  // namespace quevro
