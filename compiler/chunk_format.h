// The fixed header every precompiled chunk starts with.
#pragma once

#include <cstddef>

namespace quevro {

// "=quevro", format version 0x10, variant 0, little-endian, 4-byte ints, sizes and instructions,
// 8-byte floating-point numbers.
constexpr size_t CHUNK_HEADER_SIZE = 15;
inline constexpr char CHUNK_HEADER[CHUNK_HEADER_SIZE] = {'=', 'q', 'u', 'e', 'v', 'r', 'o', 0x10, 0x00,
                                                         0x01, 0x04, 0x04, 0x04, 0x08, 0x00};

}  // namespace quevro
