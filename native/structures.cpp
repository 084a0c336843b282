#include "native/structures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "lib/size64.h"
#include "native/number_conversion.h"
#include "native/pointer_conversion.h"
#include "native/type_codes.h"
#include "native/weak_tables.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/cdata.h"
#include "vm/string.h"
#include "vm/utf.h"

namespace quevro {

namespace {

// Wide copies of `g` fields live as long as their structure table, keyed by it.
constexpr const char* WIDE_TEXT_ANCHORS = "raw_struct_text";

bool is_structure_code(char c) { return std::strchr("BbWwIiyLldfsSpPgtu", c) != nullptr && c != '\0'; }

std::string trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && is_blank(s[a])) ++a;
  while (b > a && is_blank(s[b - 1])) --b;
  return std::string(s.substr(a, b - a));
}

inline size_t round_up(size_t n, size_t a) { return a <= 1 ? n : (n + a - 1) / a * a; }

}  // namespace

DeclarationResult parse_structure(std::string_view text, std::vector<FieldDeclaration>* fields) {
  DeclarationResult r;
  size_t i = 0;
  while (i < text.size()) {
    size_t stop = text.find(';', i);
    if (stop == std::string_view::npos) stop = text.size();
    std::string_view segment = text.substr(i, stop - i);
    size_t at = i;
    i = stop + 1;
    if (trim(segment).empty()) continue;
    size_t end;
    std::string_view keyword = read_keyword(segment, &end);
    FieldDeclaration f;
    f.code = type_code(keyword);
    if (!keyword.empty() && (keyword[0] == 'P' || keyword[0] == 'S')) f.code = keyword[0];
    std::string_view after = segment.substr(end);
    size_t bracket = after.find('[');
    f.name = trim(after.substr(0, bracket));
    if (f.name.empty()) {
      r.fault = DeclarationFault::MISSING_NAME;
      r.rest = std::string(text.substr(at));
      return r;
    }
    if (keyword.empty() || !is_structure_code(f.code)) {
      r.fault = DeclarationFault::BAD_TYPE;
      r.code = keyword.empty() ? segment[0] : f.code;
      r.field = f.name;
      r.rest = std::string(text.substr(at));
      return r;
    }
    if (bracket != std::string_view::npos) {
      std::string inside = trim(after.substr(bracket + 1, after.find(']', bracket) - bracket - 1));
      if (inside.empty()) {
        f.count = DYNAMIC_COUNT;
      } else {
        double n = std::strtod(inside.c_str(), nullptr);
        // A count that does not fit is no structure any compiler would lay out.
        f.count = n >= 1 && n < (1 << 24) ? static_cast<int64_t>(n) : 0;
        if (f.count == 0) {
          r.fault = DeclarationFault::BAD_TYPE;
          r.code = f.code;
          r.field = f.name;
          r.rest = std::string(text.substr(at));
          return r;
        }
      }
    }
    fields->push_back(std::move(f));
  }
  if (fields->empty()) r.fault = DeclarationFault::NO_FIELDS;
  return r;
}

size_t natural_alignment(char code) { return type_width(code); }

bool is_structure(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_TABLE) return false;
  ensure_stack(L, 2);
  get_field(L, idx, "_struct");
  bool ok = type_of(L, -1) == TAG_STRING || (type_of(L, -1) == TAG_CDATA && stack_address(L, -1)->cdata()->is_buffer());
  pop(L, 1);
  return ok;
}

namespace {

struct Walk {
  VmState* L;
  bool packing;
  unsigned char* memory;  // null: measuring only
  std::string declaration;
};

[[noreturn]] void declaration_error(VmState* L, const DeclarationResult& r, const std::string& whole, bool packing) {
  switch (r.fault) {
    case DeclarationFault::MISSING_NAME:
      runtime_error(L, packing ? "Invalid _struct{%s...},Expected a field name! [in]"
                               : "Invalid _struct{%s...},Expected a field name! [out]",
                    whole.c_str());
    case DeclarationFault::BAD_TYPE:
      runtime_error(L, packing ? "Invalid _struct: {...%s},data type error(%c...field:%s) [out]\n{ %s }"
                               : "Invalid _struct: {...%s},data type error(%c... field:%s) [out]\n{ %s }",
                    r.rest.c_str(), r.code, r.field.c_str(), whole.c_str());
    default:
      runtime_error(L, "Invalid _struct{%s},Expected a field!", whole.c_str());
  }
}

int absolute(VmState* L, int idx) { return idx < 0 && idx > REGISTRY_INDEX ? get_top(L) + idx + 1 : idx; }

// The packing limit of the table: `_struct_aligned`, 8 when absent or not numeric.
size_t packing_limit(VmState* L, int table) {
  get_field(L, table, "_struct_aligned");
  double n = 0;
  bool numeric = is_number(L, -1);
  if (numeric) n = to_number(L, -1);
  pop(L, 1);
  if (!numeric) return DEFAULT_PACKING;
  if (!(n >= 1)) runtime_error(L, "Invalid _struct_aligned: %s", n == n ? "less than 1" : "not a number");
  return n > 64 ? 64 : static_cast<size_t>(n);
}

bool is_word_code(char c) { return c == 'W' || c == 'w'; }
bool is_byte_code(char c) { return c == 'B' || c == 'b'; }

// Elements of a dynamic array, from the field's current value.
int64_t dynamic_count(VmState* L, int value, char code) {
  int t = type_of(L, value);
  if (is_word_code(code) && (t == TAG_STRING || t == TAG_NUMBER)) {
    push_value(L, value);
    const char16_t* w = to_utf16(L, -1);
    int64_t n = w ? static_cast<int64_t>(length_of(L, -1) / 2) : 0;
    pop(L, 1);
    return n;
  }
  if (t == TAG_TABLE) {
    get_field(L, value, "length");
    int64_t n = is_number(L, -1) ? truncate_to_int64(to_number(L, -1)) : 0;
    pop(L, 1);
    if (n <= 0) n = static_cast<int64_t>(length_of(L, value));
    return n;
  }
  if (t == TAG_STRING || t == TAG_CDATA) return static_cast<int64_t>(length_of(L, value));
  return 0;
}

size_t walk_structure(Walk& w, int table, size_t offset, bool union_mode, const char* outer, size_t* alignment);

// The nested structure in the value at idx: its size and alignment, measured.
size_t measure_nested(Walk& w, int idx, char code, const std::string& field, const char* outer, size_t* align) {
  VmState* L = w.L;
  if (type_of(L, idx) != TAG_TABLE)
    runtime_error(L, "\n{Field}:%s.%s\n{Expected}:table(struct)\n{Got}:%s", outer, field.c_str(), type_name(L, idx));
  Walk measure{L, true, nullptr, {}};
  size_t size = walk_structure(measure, idx, 0, code == 'u', field.c_str(), align);
  if (size == 0) {
    if (w.packing) runtime_error(L, "%s._struct not found!", field.c_str());
    runtime_error(L, "_struct not found!");
  }
  return size;
}

void anchor_wide_text(VmState* L, int table, const std::string& key) {
  push_weak_registry_table(L, WIDE_TEXT_ANCHORS, "k");
  push_value(L, table);
  raw_get(L, -2);
  if (type_of(L, -1) != TAG_TABLE) {
    pop(L, 1);
    new_table(L, 0, 2);
    push_value(L, table);
    push_value(L, -2);
    raw_set(L, -4);
  }
  push_string(L, key.c_str());
  push_value(L, -4);  // the wide string, below the two tables
  raw_set(L, -3);
  pop(L, 2);
}

template <class T>
void store(unsigned char* at, T v) {
  std::memcpy(at, &v, sizeof v);
}
template <class T>
T load(const unsigned char* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void pack_string_field(Walk& w, int table, int value, char code, unsigned char* at, const std::string& name) {
  VmState* L = w.L;
  int t = type_of(L, value);
  if (t == TYPE_NONE || t == TAG_NULL) {
    if (code == 'S')
      runtime_error(L, "\n{Struct error}:\n{Field}:'%s'\n{Expected}:STRING\n{Got}:%s", name.c_str(), type_name(L, value));
    store<void*>(at, nullptr);
    return;
  }
  if (code == 'g' && (t == TAG_STRING || t == TAG_NUMBER)) {
    push_value(L, value);
    const char16_t* wide = to_utf16(L, -1);
    store<const void*>(at, wide);
    anchor_wide_text(L, table, name + "@" + std::to_string(reinterpret_cast<uintptr_t>(at)));
    pop(L, 1);
    return;
  }
  void* p = nullptr;
  if (t == TAG_NUMBER) {
    push_value(L, value);
    to_lstring(L, -1, nullptr);
    replace(L, value);
  }
  if (!to_native_pointer(L, value, false, true, &p))
    runtime_error(L, "\n{Struct error}:\n{Field}:'%s'\n{Expected}:STRING\n{Got}:%s", name.c_str(), type_name(L, value));
  store<void*>(at, p);
}

void pack_pointer_field(Walk& w, int value, char code, unsigned char* at, const std::string& name) {
  VmState* L = w.L;
  void* p = nullptr;
  if (!to_native_pointer(L, value, code == 'p', code == 'p', &p)) {
    if (code == 'P')
      runtime_error(L, "\n{Struct Error}:\n{Field}:'%s'\n{Expected}:POINTER \n{Got}:%s", name.c_str(), type_name(L, value));
    runtime_error(L, "Invalid POINTER!");
  }
  if (code == 'P' && p == nullptr)
    runtime_error(L, "\n{Struct Error}:\n{Field}:'%s'\n{Expected}:POINTER \n{Got}:%s", name.c_str(), type_name(L, value));
  store<void*>(at, p);
}

// One scalar (or one array element) from the value at `value` into memory.
// A number into memory as a scalar of the code (the codes stored from numbers).
void store_number(char code, unsigned char* at, double n) {
  switch (code) {
    case 'b': case 'B': store<uint8_t>(at, static_cast<uint8_t>(truncate_to_uint64(n))); break;
    case 'w': case 'W': store<uint16_t>(at, static_cast<uint16_t>(truncate_to_uint64(n))); break;
    case 'i': case 'I': store<uint32_t>(at, static_cast<uint32_t>(truncate_to_uint64(n))); break;
    case 'l': store<int64_t>(at, truncate_to_int64(n)); break;
    case 'f': store<float>(at, static_cast<float>(n)); break;
    case 'd': store<double>(at, n); break;
    default: break;
  }
}

bool is_number_code(char code) {
  switch (code) {
    case 'b': case 'B': case 'w': case 'W': case 'i': case 'I': case 'l': case 'f': case 'd': return true;
    default: return false;
  }
}

void pack_scalar(Walk& w, int table, int value, char code, unsigned char* at, const std::string& name) {
  VmState* L = w.L;
  int t = type_of(L, value);
  switch (code) {
    case 's': case 'S': case 'g': pack_string_field(w, table, value, code, at, name); return;
    case 'p': case 'P': pack_pointer_field(w, value, code, at, name); return;
    case 'y': store<int32_t>(at, to_boolean(L, value) ? 1 : 0); return;
    default: break;
  }
  if (code == 'L') {
    uint64_t u;
    if (to_size64(L, value, &u)) store<uint64_t>(at, u);
    return;
  }
  if (t == TYPE_NONE || t == TAG_NULL || !is_number(L, value)) return;
  store_number(code, at, to_number(L, value));
}

// Pushes the script value of one scalar in memory; `current` is the field's present value.
void push_scalar(Walk& w, int current, char code, const unsigned char* at) {
  VmState* L = w.L;
  switch (code) {
    case 'b': push_number(L, load<int8_t>(at)); return;
    case 'B': push_number(L, load<uint8_t>(at)); return;
    case 'w': push_number(L, load<int16_t>(at)); return;
    case 'W': push_number(L, load<uint16_t>(at)); return;
    case 'i': push_number(L, load<int32_t>(at)); return;
    case 'I': push_number(L, load<uint32_t>(at)); return;
    case 'y': push_boolean(L, load<int32_t>(at) != 0); return;
    case 'l': push_number(L, static_cast<double>(load<int64_t>(at))); return;
    case 'L': {
      uint64_t v = load<uint64_t>(at);
      if (is_size64(L, current)) {
        std::memcpy(to_cdata(L, current), &v, 8);
        push_value(L, current);
      } else {
        push_number(L, static_cast<double>(v));
      }
      return;
    }
    case 'f': push_number(L, load<float>(at)); return;
    case 'd': push_number(L, load<double>(at)); return;
    case 's': case 'S': {
      const char* s = load<const char*>(at);
      if (s) push_string(L, s); else push_null(L);
      return;
    }
    case 'g': push_wide_as_utf8(L, load<const char16_t*>(at)); return;
    case 'p': case 'P': {
      void* p = load<void*>(at);
      void* now = nullptr;
      if (type_of(L, current) != TAG_NULL && to_native_pointer(L, current, true, false, &now) && now == p)
        push_value(L, current);
      else
        push_pointer(L, p);
      return;
    }
    default: push_null(L); return;
  }
}

void pack_byte_array(Walk& w, int value, unsigned char* at, int64_t count) {
  VmState* L = w.L;
  int t = type_of(L, value);
  if (t == TAG_STRING || (t == TAG_CDATA && stack_address(L, value)->cdata()->is_buffer())) {
    size_t len;
    const char* s = to_lstring(L, value, &len);
    std::memcpy(at, s, std::min<size_t>(len, static_cast<size_t>(count)));
  } else if (t == TAG_TABLE) {
    for (int64_t i = 0; i < count; ++i) {
      raw_get_index(L, value, i + 1);
      if (is_number(L, -1)) at[i] = static_cast<uint8_t>(truncate_to_uint64(to_number(L, -1)));
      pop(L, 1);
    }
  }
}

void pack_word_array(Walk& w, int value, unsigned char* at, int64_t count) {
  VmState* L = w.L;
  int t = type_of(L, value);
  if (t == TAG_STRING || t == TAG_NUMBER) {
    push_value(L, value);
    const char16_t* s = to_utf16(L, -1);
    size_t units = length_of(L, -1) / 2;
    std::memcpy(at, s, 2 * std::min<size_t>(units, static_cast<size_t>(count)));
    pop(L, 1);
  } else if (t == TAG_TABLE) {
    for (int64_t i = 0; i < count; ++i) {
      raw_get_index(L, value, i + 1);
      if (is_number(L, -1)) store<uint16_t>(at + 2 * i, static_cast<uint16_t>(truncate_to_uint64(to_number(L, -1))));
      pop(L, 1);
    }
  }
}

void unpack_byte_array(Walk& w, int value, const unsigned char* at, int64_t count) {
  VmState* L = w.L;
  int t = type_of(L, value);
  if (t == TAG_CDATA && stack_address(L, value)->cdata()->is_buffer()) {
    CdataObject* b = stack_address(L, value)->cdata();
    size_t n = std::min<size_t>(b->size, static_cast<size_t>(count));
    std::memcpy(b->data(), at, n);
    std::memset(b->data() + n, 0, b->size - n);
    push_value(L, value);
  } else if (t == TAG_TABLE) {
    for (int64_t i = 0; i < count; ++i) {
      push_number(L, at[i]);
      raw_set_index(L, value, i + 1);
    }
    push_value(L, value);
  } else {
    push_lstring(L, reinterpret_cast<const char*>(at), static_cast<size_t>(count));
  }
}

void unpack_word_array(Walk& w, int value, const unsigned char* at, int64_t count) {
  VmState* L = w.L;
  if (type_of(L, value) == TAG_TABLE) {
    for (int64_t i = 0; i < count; ++i) {
      push_number(L, load<uint16_t>(at + 2 * i));
      raw_set_index(L, value, i + 1);
    }
    push_value(L, value);
    return;
  }
  std::u16string units;
  for (int64_t i = 0; i < count; ++i) {
    char16_t c = load<char16_t>(at + 2 * i);
    if (c == 0) break;
    units.push_back(c);
  }
  std::string text;
  utf16_to_utf8(units.data(), units.size(), &text);
  push_string_flags(L, text.data(), text.size(), STR_UTF8);
}

// Arrays of numbers, strings, pointers or structures: tables of `count` elements.
void walk_element_array(Walk& w, int table, int value, char code, size_t offset, size_t element, int64_t count,
                        const std::string& name) {
  VmState* L = w.L;
  if (type_of(L, value) != TAG_TABLE) {
    if (w.packing && type_of(L, value) <= static_cast<int>(TAG_NULL)) return;
    if (w.packing) runtime_error(L, "\n{Field}:%s\n{Expected}:table\n{Got}:%s", name.c_str(), type_name(L, value));
    new_table(L, static_cast<int>(std::min<int64_t>(count, 1 << 16)), 0);
    replace(L, value);
  }
  for (int64_t i = 0; i < count; ++i) {
    size_t at = offset + static_cast<size_t>(i) * element;
    raw_get_index(L, value, i + 1);
    int item = get_top(L);
    if (code == 't' || code == 'u') {
      if (type_of(L, item) == TAG_TABLE) walk_structure(w, item, at, code == 'u', name.c_str(), nullptr);
    } else if (w.packing && is_number_code(code) && type_of(L, item) == TAG_NUMBER) {
      store_number(code, w.memory + at, stack_address(L, item)->u.n);
    } else if (w.packing) {
      // Only string and pointer elements can fail with a report naming the element.
      bool named = code == 's' || code == 'S' || code == 'g' || code == 'p' || code == 'P';
      pack_scalar(w, table, item, code, w.memory + at, named ? name + "[" + std::to_string(i) + "]" : name);
    } else {
      push_scalar(w, item, code, w.memory + at);
      raw_set_index(L, value, i + 1);
    }
    pop(L, 1);
  }
  if (!w.packing) push_value(L, value);
}

struct Placement {
  size_t element;     // bytes of one element
  size_t alignment;   // natural alignment
  int64_t count;      // elements (1 for a scalar)
};

Placement place_field(Walk& w, const FieldDeclaration& f, int value, const char* outer) {
  VmState* L = w.L;
  Placement p{type_width(f.code), type_width(f.code), f.count == 0 ? 1 : f.count};
  if (f.code == 't' || f.code == 'u') {
    size_t align = 1;
    if (f.count == 0) {
      p.element = measure_nested(w, value, f.code, f.name, outer, &align);
    } else {
      if (type_of(L, value) != TAG_TABLE)
        runtime_error(L, "\n{Field}:%s.%s\n{Expected}:table(struct)\n{Got}:%s", outer, f.name.c_str(), type_name(L, value));
      p.element = 0;
      int64_t n = static_cast<int64_t>(length_of(L, value));
      for (int64_t i = 1; i <= n && p.element == 0; ++i) {
        raw_get_index(L, value, i);
        if (type_of(L, -1) == TAG_TABLE) p.element = measure_nested(w, get_top(L), f.code, f.name, outer, &align);
        pop(L, 1);
      }
    }
    p.alignment = align;
  }
  if (f.count == DYNAMIC_COUNT) {
    p.count = dynamic_count(L, value, f.code);
    if (p.count <= 0)
      runtime_error(L, w.packing ? "Failed  to get the size of the dynamic array!\nfield:%s"
                                 : "Failed  to get the size of the dynamic array!field(%s)",
                    f.name.c_str());
  }
  return p;
}

void transfer_field(Walk& w, int table, const FieldDeclaration& f, int value, const Placement& p, size_t at) {
  VmState* L = w.L;
  bool array = f.count != 0;
  unsigned char* mem = w.memory + at;
  if (!array && (f.code == 't' || f.code == 'u')) {
    walk_structure(w, value, at, f.code == 'u', f.name.c_str(), nullptr);
    return;
  }
  if (w.packing) {
    if (!array)
      pack_scalar(w, table, value, f.code, mem, f.name);
    else if (is_byte_code(f.code))
      pack_byte_array(w, value, mem, p.count);
    else if (is_word_code(f.code))
      pack_word_array(w, value, mem, p.count);
    else
      walk_element_array(w, table, value, f.code, at, p.element, p.count, f.name);
    return;
  }
  if (!array)
    push_scalar(w, value, f.code, mem);
  else if (is_byte_code(f.code))
    unpack_byte_array(w, value, mem, p.count);
  else if (is_word_code(f.code))
    unpack_word_array(w, value, mem, p.count);
  else
    walk_element_array(w, table, value, f.code, at, p.element, p.count, f.name);
  push_string(L, f.name.c_str());
  insert(L, -2);
  set_table(L, table);
}

size_t walk_structure(Walk& w, int table, size_t offset, bool union_mode, const char* outer, size_t* alignment) {
  VmState* L = w.L;
  ensure_stack(L, 12);
  table = absolute(L, table);
  get_field(L, table, "_struct");
  size_t len = 0;
  const char* text = nullptr;
  int t = type_of(L, -1);
  if (t == TAG_STRING || (t == TAG_CDATA && stack_address(L, -1)->cdata()->is_buffer())) text = to_lstring(L, -1, &len);
  if (text == nullptr) {
    pop(L, 1);
    if (w.packing) return 0;
    runtime_error(L, "_struct not found!");
  }
  std::string declaration(text, len);
  pop(L, 1);
  size_t pack = packing_limit(L, table);
  std::vector<FieldDeclaration> fields;
  DeclarationResult parsed = parse_structure(declaration, &fields);
  if (parsed.fault != DeclarationFault::NONE) declaration_error(L, parsed, declaration, w.packing);
  size_t position = 0, largest_end = 0, max_align = 1;
  for (const FieldDeclaration& f : fields) {
    get_field(L, table, f.name.c_str());
    int value = get_top(L);
    Placement p = place_field(w, f, value, outer);
    size_t a = std::max<size_t>(1, std::min(pack, p.alignment));
    max_align = std::max(max_align, a);
    size_t field_offset = union_mode ? 0 : round_up(position, a);
    size_t end = field_offset + p.element * static_cast<size_t>(p.count);
    if (w.memory) transfer_field(w, table, f, value, p, offset + field_offset);
    if (!union_mode) position = end;
    largest_end = std::max(largest_end, end);
    set_top(L, value - 1);
  }
  size_t unit = std::min(pack, max_align);
  if (alignment) *alignment = unit;
  return round_up(union_mode ? largest_end : position, unit);
}

}  // namespace

size_t pack_structure(VmState* L, int table, unsigned char* dest, size_t offset, bool union_mode, const char* outer,
                      size_t* alignment) {
  Walk w{L, true, dest, {}};
  return walk_structure(w, table, offset, union_mode, outer, alignment);
}

size_t unpack_structure(VmState* L, int table, const unsigned char* src, size_t offset, bool union_mode,
                        size_t* alignment) {
  Walk w{L, false, const_cast<unsigned char*>(src), {}};
  if (src == nullptr) w.packing = false;
  return walk_structure(w, table, offset, union_mode, "", alignment);
}

}  // namespace quevro
