// Growable memory blocks of raw.realloc and raw.concat: an 8-byte header (capacity and used
// length, 32 bits each), the data, and two zero bytes after it. Scripts hold the data address;
// the blocks handed out are recorded so that a pointer is read as a block only when it is one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quevro {

struct BlockHeader {
  uint32_t capacity;
  uint32_t used;
};

// Largest capacity a block may have (its lengths are 32-bit and scripts index it with doubles).
constexpr size_t MAX_BLOCK_CAPACITY = 0x7ffffff0;

// The header of a live block whose data starts at `data`; null for any other address.
BlockHeader* block_header(void* data);

// Resizes (or creates, when data is null) a block to `capacity` bytes; new bytes are zero and the
// used length is capped at the capacity. Returns the new data address, null when out of memory
// (the old block is then unchanged).
void* resize_block(void* data, size_t capacity);

// Frees a block (nothing for an address that is not one).
void free_block(void* data);

}  // namespace quevro
