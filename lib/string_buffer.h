// The piecewise string buffer: results built in pieces collect in a local 1024-byte block; full
// blocks become string pieces on the state's stack, adjacent pieces are joined early so that
// few stay on the stack, and finishing joins them all into one string.
#pragma once

#include <cstddef>

#include "vm/state.h"

namespace quevro {

class StringBuffer {
 public:
  static constexpr size_t BLOCK = 1024;

  explicit StringBuffer(VmState* L) : L_(L) {}
  StringBuffer(const StringBuffer&) = delete;
  StringBuffer& operator=(const StringBuffer&) = delete;

  void add(const char* s, size_t n) {
    if (n <= BLOCK - used_) {
      for (size_t i = 0; i < n; ++i) block_[used_ + i] = s[i];
      used_ += n;
      return;
    }
    add_long(s, n);
  }
  void add_char(char c) {
    if (used_ == BLOCK) flush();
    block_[used_++] = c;
  }
  // Appends the string or number on top of the stack and pops it.
  void add_top();
  // Pushes the whole result as one string (wide when asked).
  void finish(bool wide = false);
  // Bytes added so far.
  size_t size() const { return total_ + used_; }

 private:
  VmState* L_;
  char block_[BLOCK];
  size_t used_ = 0;
  size_t total_ = 0;  // bytes already pushed as pieces
  int pieces_ = 0;

  void flush();
  void add_long(const char* s, size_t n);
  void push_piece(const char* s, size_t n);
  void merge();
};

}  // namespace quevro
