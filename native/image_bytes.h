// Little-endian reads from an image held in memory. Each read says whether the field lies inside
// the bytes, so header checks never read past the end of what they were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quevro {

class ImageBytes {
 public:
  ImageBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }

  // True when [offset, offset + length) lies inside the bytes; safe against overflow.
  bool holds(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  // Reads an unsigned little-endian field of type T at offset; false when it does not fit.
  template <typename T>
  bool read(uint64_t offset, T* out) const {
    if (!holds(offset, sizeof(T))) return false;
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(data_[offset + i]) << (8 * i);
    *out = value;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// v rounded up to a multiple of the power of two `alignment`; false on overflow.
inline bool align_up(uint64_t v, uint64_t alignment, uint64_t* out) {
  uint64_t mask = alignment - 1;
  if (v > UINT64_MAX - mask) return false;
  *out = (v + mask) & ~mask;
  return true;
}

}  // namespace quevro
