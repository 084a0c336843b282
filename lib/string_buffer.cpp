#include "lib/string_buffer.h"

#include "vm/api.h"

namespace quevro {

void StringBuffer::push_piece(const char* s, size_t n) {
  ensure_stack(L_, 2);
  push_lstring(L_, s, n);
  ++pieces_;
  total_ += n;
  merge();
}

// Joins the newest piece with the ones below it while it is at least as long as they are, so
// the pieces on the stack shrink geometrically from the bottom and stay few.
void StringBuffer::merge() {
  while (pieces_ >= 2) {
    size_t top = stack_address(L_, -1)->string()->length;
    size_t below = stack_address(L_, -2)->string()->length;
    if (top < below) break;
    concat(L_, 2);
    --pieces_;
  }
}

void StringBuffer::flush() {
  if (used_ == 0) return;
  size_t n = used_;
  used_ = 0;
  push_piece(block_, n);
}

void StringBuffer::add_long(const char* s, size_t n) {
  flush();
  if (n >= BLOCK) {
    push_piece(s, n);
    return;
  }
  for (size_t i = 0; i < n; ++i) block_[i] = s[i];
  used_ = n;
}

void StringBuffer::add_top() {
  size_t n;
  const char* s = to_lstring(L_, -1, &n);
  if (n < BLOCK - used_) {
    add(s, n);
    pop(L_, 1);
    return;
  }
  // A long value becomes a piece as it is, keeping it where it already lies on the stack.
  Value v = L_->top[-1];
  pop(L_, 1);
  flush();
  push(L_, v);
  ++pieces_;
  total_ += n;
  merge();
}

void StringBuffer::finish(bool wide) {
  if (wide) {
    flush();
    if (pieces_ == 0) {
      ensure_stack(L_, 1);
      push_wstring(L_, u"", 0);
      return;
    }
    concat(L_, pieces_);
    size_t n;
    const char* s = to_lstring(L_, -1, &n);
    push_string_flags(L_, s, n, 0x10);
    replace(L_, -2);
    pieces_ = 0;
    return;
  }
  if (pieces_ == 0) {
    ensure_stack(L_, 1);
    push_lstring(L_, block_, used_);
    used_ = 0;
    return;
  }
  flush();
  concat(L_, pieces_);
  pieces_ = 0;
}

}  // namespace quevro
