#include "native/raw_memory.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "lib/library_support.h"
#include "lib/size64.h"
#include "native/growable_blocks.h"
#include "native/number_conversion.h"
#include "native/pointer_conversion.h"
#include "native/structures.h"
#include "native/type_codes.h"
#include "vm/api.h"

namespace quevro {

namespace {

bool is_buffer_at(VmState* L, int idx) { return is_buffer_value(stack_address(L, idx)); }

// The structure table packed into a fresh zeroed block.
std::string packed_bytes(VmState* L, int idx) {
  size_t size = structure_size(L, idx);
  std::string bytes(size, '\0');
  if (size) pack_structure(L, idx, reinterpret_cast<unsigned char*>(bytes.data()), 0);
  return bytes;
}

unsigned char* push_new_buffer(VmState* L, size_t size) {
  auto* p = static_cast<unsigned char*>(new_cdata(L, size));
  std::memset(p, 0, size);
  return p;
}

// A serialised byte buffer ({type = "Buffer"; data = {...}}) gets the declaration of its bytes.
bool mark_serialised_buffer(VmState* L, int idx) {
  get_field(L, idx, "type");
  bool is_buffer_form = is_string(L, -1) && std::strcmp(to_string(L, -1), "Buffer") == 0;
  pop(L, 1);
  if (!is_buffer_form) return false;
  get_field(L, idx, "data");
  bool has_data = type_of(L, -1) == TAG_TABLE && length_of(L, -1) > 0;
  pop(L, 1);
  if (!has_data) return false;
  push_string(L, "_struct");
  push_string(L, "BYTE data[]");
  set_table(L, idx);
  return true;
}

size_t checked_size(VmState* L, int idx) {
  double n = check_number(L, idx);
  if (!(n >= 0) || n > 0x7fffffff) arg_error(L, idx, "Invalid memory size");
  return static_cast<size_t>(n);
}

}  // namespace

int raw_buffer(VmState* L) {
  int t = type_of(L, ARG1);
  if (t == TAG_TABLE) {
    bool structured = is_structure(L, ARG1) || mark_serialised_buffer(L, ARG1);
    size_t size = structured ? structure_size(L, ARG1) : 0;
    if (size == 0) type_arg_error(L, ARG1, "struct|string|buffer|buffer(json)");
    unsigned char* p = push_new_buffer(L, size);
    pack_structure(L, ARG1, p, 0);
    return 1;
  }
  if (t == TAG_STRING || is_buffer_at(L, ARG1)) {
    size_t len;
    const char* s = to_lstring(L, ARG1, &len);
    if (len == 0) return 0;
    std::memcpy(push_new_buffer(L, len), s, len);
    return 1;
  }
  size_t size = checked_size(L, ARG1);
  if (size == 0) return 0;
  int init = type_of(L, ARG2);
  unsigned char* p = push_new_buffer(L, size);
  int buffer = get_top(L);
  if (init == TAG_STRING || is_buffer_at(L, ARG2)) {
    size_t len;
    const char* s = to_lstring(L, ARG2, &len);
    std::memcpy(p, s, std::min(len, size));
  } else if (init == TAG_POINTER) {
    std::memcpy(p, stack_address(L, ARG2)->u.p, size);
  } else if (init == TAG_NUMBER) {
    std::memset(p, static_cast<int>(truncate_to_int64(to_number(L, ARG2))), size);
  } else if (init == TAG_TABLE) {
    size_t need = structure_size(L, ARG2);
    if (need > size) runtime_error(L, "Struct size has more than %d", static_cast<int>(size));
    pack_structure(L, ARG2, static_cast<unsigned char*>(to_cdata(L, buffer)), 0);
  }
  set_top(L, buffer);
  return 1;
}

int raw_sizeof(VmState* L) {
  int t = type_of(L, ARG1);
  if (t == TAG_TABLE) {
    push_number(L, static_cast<double>(structure_size(L, ARG1)));
    return 1;
  }
  if (t == TAG_STRING) {
    size_t end;
    std::string_view k = read_keyword(to_string(L, ARG1), &end);
    size_t w = type_width(type_code(k));
    push_number(L, w == 0 && type_code(k) != 'v' ? -1 : static_cast<double>(w));
    return 1;
  }
  if (t == TAG_POINTER) {
    BlockHeader* h = block_header(stack_address(L, ARG1)->u.p);
    if (h == nullptr) arg_error(L, ARG1, "not a block from raw.realloc");
    push_number(L, h->used);
    push_number(L, h->capacity);
    return 2;
  }
  push_number(L, 0);
  return 1;
}

int raw_convert(VmState* L) {
  size_t offset = static_cast<size_t>(std::max<int64_t>(0, opt_int64(L, ARG3, 0)));
  if (is_structure(L, ARG1) && type_of(L, ARG2) != TAG_TABLE) {
    // Table to memory.
    size_t size = structure_size(L, ARG1);
    unsigned char* dest = nullptr;
    if (is_buffer_at(L, ARG2)) {
      if (offset + size > length_of(L, ARG2)) runtime_error(L, "Memory overflow is detected!");
      dest = static_cast<unsigned char*>(to_cdata(L, ARG2));
    } else if (type_of(L, ARG2) == TAG_POINTER) {
      dest = static_cast<unsigned char*>(stack_address(L, ARG2)->u.p);
    } else {
      type_arg_error(L, ARG2, "pointer|buffer");
    }
    pack_structure(L, ARG1, dest, offset);
    push_value(L, ARG2);
    return 1;
  }
  if (is_structure(L, ARG1) && is_structure(L, ARG2)) {
    std::string bytes = packed_bytes(L, ARG1);
    if (unpack_structure(L, ARG2, nullptr, 0) > bytes.size()) bytes.resize(unpack_structure(L, ARG2, nullptr, 0));
    unpack_structure(L, ARG2, reinterpret_cast<const unsigned char*>(bytes.data()), 0);
    push_value(L, ARG2);
    return 1;
  }
  if (!is_structure(L, ARG2)) type_arg_error(L, ARG2, "table(struct)");
  size_t size = unpack_structure(L, ARG2, nullptr, 0);
  size_t index = static_cast<size_t>(std::max<int64_t>(0, opt_int64(L, ARG4, 0)));
  offset += index * size;
  const unsigned char* src = nullptr;
  int t = type_of(L, ARG1);
  uint64_t word;
  if (t == TAG_POINTER) {
    src = static_cast<const unsigned char*>(stack_address(L, ARG1)->u.p);
  } else if (t == TAG_STRING || is_buffer_at(L, ARG1)) {
    size_t len;
    src = reinterpret_cast<const unsigned char*>(to_lstring(L, ARG1, &len));
    if (offset + size > len) runtime_error(L, "Memory overflow is detected!");
  } else if (is_size64(L, ARG1) && to_size64(L, ARG1, &word)) {
    if (offset + size > 8) runtime_error(L, "Memory overflow is detected!");
    src = reinterpret_cast<const unsigned char*>(&word);
  } else {
    type_arg_error(L, ARG1, "table(struct)|string|pointer");
  }
  if (src == nullptr) arg_error(L, ARG1, "Invalid POINTER!");
  unpack_structure(L, ARG2, src, offset);
  push_value(L, ARG2);
  return 1;
}

int raw_copy(VmState* L) {
  unsigned char* dest = nullptr;
  size_t limit = SIZE_MAX;
  if (is_buffer_at(L, ARG1)) {
    dest = static_cast<unsigned char*>(to_cdata(L, ARG1));
    limit = length_of(L, ARG1);
  } else if (type_of(L, ARG1) == TAG_POINTER) {
    dest = static_cast<unsigned char*>(stack_address(L, ARG1)->u.p);
  } else {
    type_arg_error(L, ARG1, "pointer|buffer");
  }
  std::string packed;
  const unsigned char* src = nullptr;
  size_t available = SIZE_MAX;
  int t = type_of(L, ARG2);
  if (t == TAG_TABLE) {
    packed = packed_bytes(L, ARG2);
    src = reinterpret_cast<const unsigned char*>(packed.data());
    available = packed.size();
  } else if (t == TAG_STRING || is_buffer_at(L, ARG2)) {
    size_t len;
    src = reinterpret_cast<const unsigned char*>(to_lstring(L, ARG2, &len));
    available = len + 2;  // both keep two zero bytes after their data
  } else if (t == TAG_POINTER) {
    src = static_cast<const unsigned char*>(stack_address(L, ARG2)->u.p);
  } else {
    type_arg_error(L, ARG2, "table(struct)|string|pointer");
  }
  size_t count = is_none_or_null(L, ARG3) ? SIZE_MAX : checked_size(L, ARG3);
  count = std::min({count, available, limit});
  if (count == 0 || count == SIZE_MAX) runtime_error(L, "Incorrect memory size");
  std::memmove(dest, src, count);
  push_boolean(L, true);
  return 1;
}

int raw_tostring(VmState* L) {
  int t = type_of(L, ARG1);
  if (t == TAG_TABLE) {
    std::string bytes = packed_bytes(L, ARG1);
    if (bytes.empty()) type_arg_error(L, ARG1, "table(struct)");
    push_lstring(L, bytes.data(), bytes.size());
    return 1;
  }
  const char* data;
  int64_t n;
  if (is_buffer_at(L, ARG1)) {
    data = static_cast<const char*>(to_cdata(L, ARG1));
    n = static_cast<int64_t>(length_of(L, ARG1));
  } else if (t == TAG_POINTER) {
    data = static_cast<const char*>(stack_address(L, ARG1)->u.p);
    int64_t i = opt_int64(L, ARG2, 1);
    n = is_none_or_null(L, ARG3) ? static_cast<int64_t>(std::strlen(data + (i > 0 ? i - 1 : 0))) + (i > 0 ? i - 1 : 0)
                                  : opt_int64(L, ARG3, 0);
    if (i < 1) i = 1;
    if (n < i) return 0;
    push_lstring(L, data + i - 1, static_cast<size_t>(n - i + 1));
    return 1;
  } else {
    type_arg_error(L, ARG1, "table(struct)|buffer|pointer");
  }
  int64_t i = from_end(opt_int64(L, ARG2, 1), n);
  int64_t j = from_end(opt_int64(L, ARG3, -1), n);
  if (i < 1) i = 1;
  if (j > n) j = n;
  if (i > j) return 0;
  push_lstring(L, data + i - 1, static_cast<size_t>(j - i + 1));
  return 1;
}

int raw_str(VmState* L) {
  int t = type_of(L, ARG1);
  if (t == TAG_TABLE) {
    std::string bytes = packed_bytes(L, ARG1);
    if (bytes.empty()) return 0;
    push_lstring(L, bytes.data(), bytes.size());
    return 1;
  }
  bool wide = to_boolean(L, ARG2);
  size_t offset = static_cast<size_t>(std::max<int64_t>(0, opt_int64(L, ARG3, 0)));
  const char* data;
  size_t limit = SIZE_MAX;
  if (is_buffer_at(L, ARG1)) {
    data = static_cast<const char*>(to_cdata(L, ARG1));
    limit = length_of(L, ARG1);
    if (offset >= limit) return 0;
    limit -= offset;
  } else if (t == TAG_POINTER) {
    data = static_cast<const char*>(stack_address(L, ARG1)->u.p);
  } else {
    type_arg_error(L, ARG1, "buffer|pointer");
  }
  data += offset;
  if (wide) {
    std::u16string units;
    for (size_t i = 0; 2 * i + 1 < limit; ++i) {
      char16_t c;
      std::memcpy(&c, data + 2 * i, 2);
      if (c == 0) break;
      units.push_back(c);
    }
    if (units.empty()) return 0;
    units.push_back(0);
    push_wide_as_utf8(L, units.data());
    return 1;
  }
  size_t n = limit == SIZE_MAX ? std::strlen(data) : strnlen(data, limit);
  if (n == 0) return 0;
  push_lstring(L, data, n);
  return 1;
}

int raw_swap(VmState* L) {
  const char* type = opt_lstring(L, ARG2, "INT", nullptr);
  if (is_size64(L, ARG1) && type[0] == 'L') {
    auto* p = static_cast<uint64_t*>(to_cdata(L, ARG1));
    *p = __builtin_bswap64(*p);
    push_value(L, ARG1);
    return 1;
  }
  double n = check_number(L, ARG1);
  uint64_t u = truncate_to_uint64(n);
  switch (type[0]) {
    case 'I': push_number(L, __builtin_bswap32(static_cast<uint32_t>(u))); break;
    case 'i': push_number(L, static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(u)))); break;
    case 'W': push_number(L, __builtin_bswap16(static_cast<uint16_t>(u))); break;
    case 'w': push_number(L, static_cast<int16_t>(__builtin_bswap16(static_cast<uint16_t>(u)))); break;
    case 'l': push_number(L, static_cast<double>(static_cast<int64_t>(__builtin_bswap64(u)))); break;
    case 'L': push_size64(L, __builtin_bswap64(u)); break;
    default: push_value(L, ARG1); break;
  }
  return 1;
}

int raw_toarray(VmState* L) {
  const char* type = opt_lstring(L, ARG2, "struct", nullptr);
  const char* field = opt_lstring(L, ARG3, "array", nullptr);
  int64_t count;
  bool from_table = type_of(L, ARG1) == TAG_TABLE;
  if (from_table) count = static_cast<int64_t>(length_of(L, ARG1));
  else count = opt_int64(L, ARG1, 0);
  if (count < 1 || count > (1 << 24)) arg_error(L, ARG1, "Invalid array size");
  new_table(L, 0, 2);
  int result = get_top(L);
  push_string(L, "_struct");
  push_fstring(L, "%s %s[%d]", type, field, static_cast<int>(count));
  raw_set(L, result);
  push_string(L, field);
  new_table(L, from_table ? static_cast<int>(count) : 0, 0);
  if (from_table) {
    for (int64_t i = 1; i <= count; ++i) {
      raw_get_index(L, ARG1, i);
      raw_set_index(L, -2, i);
    }
  }
  raw_set(L, result);
  return 1;
}

int raw_to_pointer(VmState* L) {
  void* p = nullptr;
  if (type_of(L, ARG1) == TAG_NUMBER) {
    p = reinterpret_cast<void*>(static_cast<uintptr_t>(truncate_to_uint64(to_number(L, ARG1))));
  } else if (!to_native_pointer(L, ARG1, true, true, &p)) {
    type_arg_error(L, ARG1, "pointer");
  }
  auto address = reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(opt_int64(L, ARG2, 0));
  push_pointer(L, reinterpret_cast<void*>(address));
  return 1;
}

namespace {

void* check_block(VmState* L, int idx) {
  if (is_none_or_null(L, idx)) return nullptr;
  void* p = type_of(L, idx) == TAG_POINTER ? stack_address(L, idx)->u.p : nullptr;
  if (block_header(p) == nullptr) arg_error(L, idx, "not a block from raw.realloc");
  return p;
}

// Bytes of a source: a structure table (packed into *scratch), a string or buffer, or a pointer
// (which needs an explicit size).
const unsigned char* source_bytes(VmState* L, int idx, std::string* scratch, size_t* len, bool* is_text) {
  int t = type_of(L, idx);
  *is_text = false;
  if (t == TAG_TABLE) {
    *scratch = packed_bytes(L, idx);
    if (scratch->empty()) type_arg_error(L, idx, "table(struct)");
    *len = scratch->size();
    return reinterpret_cast<const unsigned char*>(scratch->data());
  }
  if (t == TAG_STRING || is_buffer_at(L, idx)) {
    *is_text = true;
    return reinterpret_cast<const unsigned char*>(to_lstring(L, idx, len));
  }
  if (t == TAG_POINTER) {
    *len = SIZE_MAX;
    return static_cast<const unsigned char*>(stack_address(L, idx)->u.p);
  }
  type_arg_error(L, idx, "table(struct)|string|buffer|pointer");
}

}  // namespace

int raw_realloc(VmState* L) {
  size_t size = checked_size(L, ARG1);
  void* old = check_block(L, ARG2);
  if (size == 0) {
    free_block(old);
    push_null(L);
    return 1;
  }
  std::string packed;
  if (type_of(L, ARG3) == TAG_TABLE) {
    packed = packed_bytes(L, ARG3);
    if (packed.size() > size) runtime_error(L, "Struct size has more than %d", static_cast<int>(size));
  }
  auto* data = static_cast<unsigned char*>(resize_block(old, size));
  if (data == nullptr) runtime_error(L, "not enough memory");
  BlockHeader* h = block_header(data);
  int init = type_of(L, ARG3);
  if (init == TAG_NUMBER) {
    std::memset(data, static_cast<int>(truncate_to_int64(to_number(L, ARG3))), size);
    h->used = 0;
  } else if (init == TAG_STRING || is_buffer_at(L, ARG3)) {
    size_t len;
    const char* s = to_lstring(L, ARG3, &len);
    size_t n = std::min(len, size);
    std::memcpy(data, s, n);
    std::memset(data + n, 0, std::min<size_t>(2, size + 2 - n));
    h->used = static_cast<uint32_t>(n);
  } else if (init == TAG_TABLE) {
    std::memcpy(data, packed.data(), packed.size());
    h->used = static_cast<uint32_t>(packed.size());
  }
  push_pointer(L, data);
  return 1;
}

int raw_concat(VmState* L) {
  std::string scratch;
  size_t len;
  bool is_text;
  if (is_buffer_at(L, ARG1)) {
    auto* dest = static_cast<unsigned char*>(to_cdata(L, ARG1));
    size_t room_end = length_of(L, ARG1);
    size_t offset = static_cast<size_t>(std::max<int64_t>(0, opt_int64(L, ARG3, 0)));
    const unsigned char* src = source_bytes(L, ARG2, &scratch, &len, &is_text);
    if (!is_none_or_null(L, ARG4)) len = std::min(len, checked_size(L, ARG4));
    if (len == SIZE_MAX) arg_error(L, ARG4, "Incorrect memory size");
    size_t n = offset >= room_end ? 0 : std::min(len, room_end - offset);
    std::memmove(dest + offset, src, n);
    push_number(L, static_cast<double>(offset + n));
    return 1;
  }
  void* block = check_block(L, ARG1);
  if (block == nullptr) type_arg_error(L, ARG1, "pointer|buffer");
  const unsigned char* src = source_bytes(L, ARG2, &scratch, &len, &is_text);
  size_t count = is_none_or_null(L, ARG3) ? len : checked_size(L, ARG3);
  if (count == SIZE_MAX) arg_error(L, ARG3, "Incorrect memory size");
  if (count > len) count = len;
  size_t copied = is_text && count == len ? count + 2 : count;  // the text's own terminators too
  size_t grow = static_cast<size_t>(std::max<int64_t>(1, opt_int64(L, ARG4, 1024)));
  BlockHeader* h = block_header(block);
  size_t used = h->used;
  if (used + count > h->capacity) {
    size_t capacity = used + count + grow;
    // The source may live inside the block itself; copy it out before the block moves.
    std::string moving(reinterpret_cast<const char*>(src), copied);
    block = resize_block(block, capacity);
    if (block == nullptr) runtime_error(L, "not enough memory");
    scratch = std::move(moving);
    src = reinterpret_cast<const unsigned char*>(scratch.data());
    h = block_header(block);
  }
  // The block keeps two zero bytes past its capacity, so the terminators always fit.
  std::memmove(static_cast<unsigned char*>(block) + used, src, copied);
  h->used = static_cast<uint32_t>(used + count);
  push_pointer(L, block);
  return 1;
}

}  // namespace quevro
