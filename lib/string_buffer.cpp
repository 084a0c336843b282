#include "lib/string_buffer.h"

#include "vm/api.h"
#include "vm/error.h"
#include "vm/memory.h"

namespace quevro {

namespace {

// A result may not reach 2 GiB, as for concatenation.
constexpr size_t MOST_BYTES = 0x7FFFFFFFu;

}  // namespace

StringBuffer::~StringBuffer() {
  if (data_ != block_) mem_free(G(L_), data_, capacity_);
}

// Doubles the room (at least to what the next addition needs); the copy of what is there is the
// allocator's when it can extend the block in place.
void StringBuffer::grow(size_t extra) {
  if (extra >= MOST_BYTES - used_) runtime_error(L_, "string length overflow");
  size_t need = used_ + extra;
  size_t room = capacity_ * 2;
  if (room < need) room = need;
  if (room > MOST_BYTES) room = MOST_BYTES;
  if (data_ == block_) {
    auto* fresh = static_cast<char*>(mem_realloc(L_, nullptr, 0, room));
    std::memcpy(fresh, block_, used_);
    data_ = fresh;
  } else {
    data_ = static_cast<char*>(mem_realloc(L_, data_, capacity_, room));
  }
  capacity_ = room;
}

void StringBuffer::add_top() {
  size_t n;
  const char* s = to_lstring(L_, -1, &n);
  add(s, n);
  pop(L_, 1);
}

void StringBuffer::finish(bool wide) {
  ensure_stack(L_, 1);
  if (wide)
    push_string_flags(L_, data_, used_, 0x10);
  else
    push_lstring(L_, data_, used_);
}

}  // namespace quevro
