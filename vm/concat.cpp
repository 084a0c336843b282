#include "vm/concat.h"

#include <cstring>

#include "vm/api.h"
#include "vm/memory.h"
#include "vm/metamethods.h"
#include "vm/runtime_errors.h"

namespace quevro {

namespace {

bool is_text(const Value* v) { return v->tag == TAG_STRING || v->tag == TAG_NUMBER; }

void to_text_in_place(VmState* L, Value* v) {
  if (v->tag == TAG_NUMBER) {
    char buf[32];
    size_t n = format_number(v->u.n, buf);
    *v = make_string(intern_string(L, buf, n));
  }
}

char* scratch_space(VmState* L, size_t n) {
  ScratchBuffer& b = G(L)->scratch;
  if (n < 32) n = 32;
  if (b.size < n) {
    b.data = static_cast<char*>(mem_realloc(L, b.data, b.size, n));
    b.size = n;
  }
  return b.data;
}

}  // namespace

void concat_values(VmState* L, int total, int last) {
  if (total < 2) return;  // a single value is its own result
  do {
    Value* top = L->base + last + 1;
    int n = 2;  // values consumed by this step
    Value* left = top - 2;
    Value* right = top - 1;
    if (!is_text(left) || !is_text(right)) {
      if (!call_binary_handler(L, left, right, left, EVENT_CONCAT))
        type_error(L, is_text(left) ? right : left, "concatenate");
    } else if (right->tag == TAG_STRING && right->string()->length == 0) {
      to_text_in_place(L, left);
    } else {
      // Gather as many strings and numbers as possible, leftwards. Numbers are formatted into
      // local space rather than interned: a string per number would be hashed, allocated and
      // swept only to be copied once (building text from numbers spent a third of its time on
      // those strings). Past NUMBER_TEXTS numbers in one run the rest are interned as before.
      constexpr int NUMBER_TEXTS = 8;
      char number_text[NUMBER_TEXTS][32];
      uint32_t number_length[NUMBER_TEXTS];
      int numbers = 0;
      size_t length = 0;
      bool all_wide = true;
      for (n = 0; n < total && is_text(top - n - 1); ++n) {
        Value* v = top - n - 1;
        uint32_t l;
        if (v->tag == TAG_NUMBER && numbers < NUMBER_TEXTS) {
          l = number_length[numbers] = static_cast<uint32_t>(format_number(v->u.n, number_text[numbers]));
          ++numbers;
          all_wide = false;
        } else {
          to_text_in_place(L, v);
          l = v->string()->length;
          if (!v->string()->is_wide()) all_wide = false;
        }
        if (l >= 0x7FFFFFFFu - length) runtime_error(L, "string length overflow");
        length += l;
      }
      char* buffer = scratch_space(L, length);
      size_t at = 0;
      for (int i = n; i > 0; --i) {
        Value* v = top - i;
        if (v->tag == TAG_NUMBER) {
          // Left to right meets the formatted numbers in the reverse of the order they were made.
          --numbers;
          std::memcpy(buffer + at, number_text[numbers], number_length[numbers]);
          at += number_length[numbers];
          continue;
        }
        StringObject* s = v->string();
        std::memcpy(buffer + at, s->data(), s->length);
        at += s->length;
      }
      *(top - n) = make_string(intern_bytes(L, buffer, length, all_wide));
    }
    total -= n - 1;
    last -= n - 1;
  } while (total > 1);
}

}  // namespace quevro
