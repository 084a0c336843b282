// The string buffer of the library functions that build a result piece by piece: bytes collect
// in a local 1024-byte block, and past it in one growing block of the state's allocator, so the
// result is copied into a string once, at the end. (Joining string pieces along the way made a
// garbage string of every intermediate length, many times the result's size before a collection.)
#pragma once

#include <cstddef>
#include <cstring>

#include "vm/state.h"

namespace quevro {

class StringBuffer {
 public:
  static constexpr size_t BLOCK = 1024;

  explicit StringBuffer(VmState* L) : L_(L), data_(block_) {}
  ~StringBuffer();
  StringBuffer(const StringBuffer&) = delete;
  StringBuffer& operator=(const StringBuffer&) = delete;

  void add(const char* s, size_t n) {
    if (n > capacity_ - used_) grow(n);
    if (n != 0) std::memcpy(data_ + used_, s, n);
    used_ += n;
  }
  void add_char(char c) {
    if (used_ == capacity_) grow(1);
    data_[used_++] = c;
  }
  // Appends n copies of c (padding).
  void add_fill(char c, size_t n) {
    if (n > capacity_ - used_) grow(n);
    std::memset(data_ + used_, c, n);
    used_ += n;
  }
  // Appends the string or number on top of the stack and pops it.
  void add_top();
  // Pushes the whole result as one string (wide when asked).
  void finish(bool wide = false);
  // Bytes added so far.
  size_t size() const { return used_; }

 private:
  VmState* L_;
  char* data_;  // block_ until the first growth
  size_t used_ = 0;
  size_t capacity_ = BLOCK;
  char block_[BLOCK];

  void grow(size_t extra);
};

}  // namespace quevro
