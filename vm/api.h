// The native interface: how the host and native libraries exchange values with scripts through
// the stack window of the running native function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vm/collector.h"
#include "vm/error.h"
#include "vm/format.h"
#include "vm/state.h"
#include "vm/table.h"

namespace quevro {

// Pseudo-indices.
constexpr int REGISTRY_INDEX = -10000;
constexpr int ENVIRON_INDEX = -10001;
constexpr int GLOBALS_INDEX = -10002;
constexpr int upvalue_index(int n) { return GLOBALS_INDEX - n; }

// Type answers: a tag, or this for an index that names no slot.
constexpr int TYPE_NONE = -1;

// The slot an index names; the shared absent value for a missing slot (never write through it).
// Positive indices, by far the most used, are resolved inline.
Value* stack_address_beyond(VmState* L, int idx);
inline Value* stack_address(VmState* L, int idx) {
  if (idx > 0) {
    Value* o = L->base + (idx - 1);
    return o < L->top ? o : const_cast<Value*>(&ABSENT_VALUE);
  }
  return stack_address_beyond(L, idx);
}
inline bool is_absent(const Value* v) { return v == &ABSENT_VALUE; }

int check_stack(VmState* L, int n);
inline int get_top(VmState* L) { return static_cast<int>(L->top - L->base); }
void set_top(VmState* L, int idx);
void remove(VmState* L, int idx);
void insert(VmState* L, int idx);
void replace(VmState* L, int idx);
void push_value(VmState* L, int idx);
inline void pop(VmState* L, int n) { set_top(L, -n - 1); }

// Pushes v; the caller has made room (every native call starts with 20 free slots).
inline void push(VmState* L, const Value& v) { *L->top++ = v; }

int type_of(VmState* L, int idx);
const char* type_name(VmState* L, int idx);
const char* value_type_name(const Value* v);  // with "class", "buffer" and "no value"
const char* tag_name(int tag);
bool is_number(VmState* L, int idx);
bool is_string(VmState* L, int idx);
bool is_cdata(VmState* L, int idx);
bool raw_equal(VmState* L, int i, int j);

double to_number(VmState* L, int idx);
int32_t to_integer(VmState* L, int idx);
bool to_boolean(VmState* L, int idx);
uint8_t string_flags(VmState* L, int idx);
void set_string_flags(VmState* L, int idx, uint8_t flags);
const char* to_lstring(VmState* L, int idx, size_t* len);
inline const char* to_string(VmState* L, int idx) { return to_lstring(L, idx, nullptr); }
const char16_t* to_utf16(VmState* L, int idx);
size_t length_of(VmState* L, int idx);
void* to_cdata(VmState* L, int idx);
void* cdata_handle(VmState* L, int idx);

void push_null(VmState* L);
void push_number(VmState* L, double n);
void push_integer(VmState* L, int64_t n);
void push_boolean(VmState* L, bool b);
void push_pointer(VmState* L, void* p);
void push_lstring(VmState* L, const char* s, size_t len);
void push_string(VmState* L, const char* s);
void push_wstring(VmState* L, const char16_t* s, size_t units);
void push_string_flags(VmState* L, const char* s, size_t len, uint8_t flags);
void push_wide_as_utf8(VmState* L, const char16_t* w);
void push_closure(VmState* L, NativeFn fn, int nup, bool as_class = false);
inline void push_function(VmState* L, NativeFn fn) { push_closure(L, fn, 0); }
void new_table(VmState* L, int narray, int nhash);
void* new_cdata(VmState* L, size_t size);
// Sequences: a table created as one carries the array flag, which `table.isArray` reports and
// serialisation writes as a list. new_array pushes an empty one with room for narray elements.
void new_array(VmState* L, int narray);
bool is_array(VmState* L, int idx);
// Pushes an empty table with the array-part size and array flag of the table at idx, so a copy
// filled in traversal order keeps the original's order.
void new_table_like(VmState* L, int idx);

template <class... A>
const char* push_fstring(VmState* L, const char* fmt, A... args) {
  std::string s = format_message(fmt, args...);
  push_lstring(L, s.data(), s.size());
  return to_string(L, -1);
}

// Full get and set with metamethods: get_table replaces the key on top with the value;
// set_table takes the key and the value from the top (the `_set` handler gets true as its flag).
void get_table(VmState* L, int idx);
void get_field(VmState* L, int idx, const char* name);
void set_table(VmState* L, int idx);
void set_field(VmState* L, int idx, const char* name);

void raw_get(VmState* L, int idx);
void raw_get_index(VmState* L, int idx, int64_t n);
void raw_get_field(VmState* L, int idx, const char* name);
void raw_set(VmState* L, int idx);
void raw_set_index(VmState* L, int idx, int64_t n);
void raw_set_field(VmState* L, int idx, const char* name);

bool get_metatable(VmState* L, int idx);
// Pushes the raw field `name` of the metatable get_metatable would give; pushes nothing and
// returns false when there is no metatable or the field is null.
bool get_metafield(VmState* L, int idx, const char* name);
void set_metatable(VmState* L, int idx);
void get_env(VmState* L, int idx);
int set_env(VmState* L, int idx);
bool next(VmState* L, int idx);
void concat(VmState* L, int n);
int64_t append_values(VmState* L, int idx, int first);
void registry_subtable(VmState* L, const char* name);
// Gives the table at idx a new metatable whose `_weak` mode ("k", "v" or "kv") lets the
// collector drop entries whose keys or values nothing else holds.
void make_weak(VmState* L, int idx, const char* mode);
// The compiled code of the script function at idx (what the chunk dumper writes); null for a
// native function or any other value.
const Prototype* script_prototype(VmState* L, int idx);

// Raw access (no metamethods) to a table held in a stack slot, for loops over its elements or
// pairs. The handle resolves the stack index once; the slot must keep the table while the handle
// is in use (the table record never moves, but its parts may, so every access goes through the
// record). Stores carry the collector barrier.
class RawTable {
 public:
  // A value other than a table at idx raises the "index" type error.
  RawTable(VmState* L, int idx);

  // The border (the length operator's result).
  int64_t length() const { return table_border(t_); }

  Value get(int64_t i) const { return *table_get_int(t_, i); }

  // Storing null under a key that does not exist creates nothing.
  void set(int64_t i, const Value& v) {
    if (in_array_part(i)) {
      t_->array[i - 1] = v;
      if (v.is_collectable()) barrier_back(L_, t_);
      return;
    }
    set_outside_array_part(i, v);
  }

  void swap(int64_t a, int64_t b) {
    if (in_array_part(a) && in_array_part(b)) {
      // Both values already belong to this table, so no new reference enters it: no barrier.
      Value x = t_->array[a - 1];
      t_->array[a - 1] = t_->array[b - 1];
      t_->array[b - 1] = x;
      return;
    }
    Value va = get(a), vb = get(b);
    set(a, vb);
    set(b, va);
  }

  // Traversal step, as next does: kv[0] holds the previous key (null to start); the next key and
  // its value go to kv[0] and kv[1]; false at the end.
  bool next(Value kv[2]) const { return table_next(L_, t_, kv); }

  // Stores v under any key, as raw_set does ("table index is null" / "table index is NaN").
  void store(const Value& key, const Value& v) { *table_set_slot(L_, t_, key) = v; }

 private:
  VmState* L_;
  TableObject* t_;

  bool in_array_part(int64_t i) const { return static_cast<uint64_t>(i) - 1 < static_cast<uint64_t>(t_->array_size); }
  void set_outside_array_part(int64_t i, const Value& v);
};

// The environment that new native functions and buffers get: the running function's, or the
// global table at base level.
TableObject* current_env(VmState* L);

}  // namespace quevro
