// The native `table` namespace. Sequence functions work on the elements 1 to the border of a
// table with raw access; attribute access goes through metamethods.
#include "lib/table_library.h"

#include <cmath>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "runtime/library_registry.h"
#include "lib/library_support.h"
#include "lib/string_library.h"
#include "vm/calls.h"
#include "vm/metamethods.h"

namespace quevro {

namespace {

// A new sequence table on top of the stack, marked with the array flag.
RawTable push_array(VmState* L, int64_t size_hint) {
  int n = size_hint > 0 && size_hint < (1 << 26) ? static_cast<int>(size_hint) : 0;
  new_array(L, n);
  return RawTable(L, -1);
}

// Raw access to the table argument at idx (the argument error for anything else).
RawTable table_arg(VmState* L, int idx) {
  check_table(L, idx);
  return RawTable(L, idx);
}

void ensure_results(VmState* L, int64_t n) {
  if (n >= MAX_RESULTS || !check_stack(L, static_cast<int>(n) + 1)) library_error(L, "too many results to unpack");
}

int tab_insert(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  check_any(L, ARG2);
  int64_t len = t.length();
  int64_t pos = from_end(opt_int64(L, ARG3, 1), len);
  if (pos < 1) pos = 1;
  Value v = *stack_address(L, ARG2);
  if (pos <= len) {
    for (int64_t i = len; i >= pos; --i) t.set(i + 1, t.get(i));
  }
  t.set(pos, v);
  return 0;
}

int tab_remove(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t len = t.length();
  int64_t pos = from_end(opt_int64(L, ARG2, 1), len);
  if (pos < 1 || pos > len) return 0;
  push(L, t.get(pos));
  for (int64_t i = pos; i < len; ++i) t.set(i, t.get(i + 1));
  t.set(len, make_null());
  return 1;
}

int tab_push(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  check_any(L, ARG2);
  int64_t len = t.length();
  int top = get_top(L);
  for (int i = ARG2; i <= top; ++i) t.set(++len, *stack_address(L, i));
  push_number(L, static_cast<double>(len));
  return 1;
}

int tab_pop(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t len = t.length();
  int64_t n = opt_int64(L, ARG2, 1);
  if (len == 0 || n == 0) return 0;
  bool backwards = n < 0;
  if (backwards) n = -n;
  if (n > len) n = len;
  ensure_results(L, n);
  if (backwards) {
    for (int64_t i = len; i > len - n; --i) push(L, t.get(i));
  } else {
    for (int64_t i = len - n + 1; i <= len; ++i) push(L, t.get(i));
  }
  for (int64_t i = len - n + 1; i <= len; ++i) t.set(i, make_null());
  return static_cast<int>(n);
}

int tab_splice(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t len = t.length();
  int64_t start = from_end(opt_int64(L, ARG2, 1), len);
  if (start < 1 || start > len) arg_error(L, ARG2, "Index out of range");
  int64_t count = opt_int64(L, ARG3, 0);
  if (count > len - start + 1) count = len - start + 1;
  if (count < 0) count = 0;
  int top = get_top(L);
  int64_t items = top > ARG3 ? top - ARG3 : 0;
  int results = 0;
  if (count > 0) {
    RawTable removed = push_array(L, count);
    for (int64_t i = 0; i < count; ++i) removed.set(i + 1, t.get(start + i));
    results = 1;
  }
  if (items < count) {
    int64_t shift = count - items;
    for (int64_t i = start + count; i <= len; ++i) t.set(i - shift, t.get(i));
    for (int64_t i = len - shift + 1; i <= len; ++i) t.set(i, make_null());
  } else if (items > count) {
    int64_t shift = items - count;
    for (int64_t i = len; i >= start + count; --i) t.set(i + shift, t.get(i));
  }
  for (int64_t k = 0; k < items; ++k) t.set(start + k, *stack_address(L, ARG4 + static_cast<int>(k)));
  return results;
}

// Clamps i and j (negatives counted from the end) to 1..len; false for an empty range.
bool clamp_range(int64_t len, int64_t* i, int64_t* j) {
  *i = from_end(*i, len);
  *j = from_end(*j, len);
  if (*i < 1) *i = 1;
  if (*j > len) *j = len;
  return *i <= *j;
}

int tab_slice(VmState* L) {
  if (type_of(L, ARG1) != TAG_TABLE) return 0;
  RawTable t(L, ARG1);
  int64_t len = t.length();
  int64_t i = opt_int64(L, ARG2, 1), j = opt_int64(L, ARG3, -1);
  if (!clamp_range(len, &i, &j)) {
    push_array(L, 0);
    return 1;
  }
  RawTable r = push_array(L, j - i + 1);
  for (int64_t k = i; k <= j; ++k) r.set(k - i + 1, t.get(k));
  return 1;
}

int push_elements(VmState* L, const RawTable& t, int64_t i, int64_t j) {
  if (i > j) return 0;
  ensure_results(L, j - i + 1);
  for (int64_t k = i; k <= j; ++k) push(L, t.get(k));
  return static_cast<int>(j - i + 1);
}

int tab_unpack(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t len = t.length();
  int64_t i = opt_int64(L, ARG2, 1), j = opt_int64(L, ARG3, -1);
  bool both_positive = i > 0 && j > 0;
  i = from_end(i, len);
  j = from_end(j, len);
  if (i < 1) i = 1;
  if (!both_positive && j > len) j = len;
  return push_elements(L, t, i, j);
}

int tab_left(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t n = opt_int64(L, ARG2, 1);
  return push_elements(L, t, 1, n);
}

int tab_right(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t len = t.length();
  int64_t n = opt_int64(L, ARG2, 1);
  if (n <= 0) return 0;
  int64_t first = len - n + 1;
  if (first < 1) first = 1;
  return push_elements(L, t, first, len);
}

int tab_reverse(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t len = t.length();
  for (int64_t a = 1, b = len; a < b; ++a, --b) t.swap(a, b);
  return 0;
}

// Identity of a value for unique: numbers by value (0 and -0 alike), others by tag and payload.
struct ValueKey {
  uint64_t bits;
  uint32_t tag;
  bool operator==(const ValueKey& o) const { return bits == o.bits && tag == o.tag; }
};
struct ValueKeyHash {
  size_t operator()(const ValueKey& k) const { return std::hash<uint64_t>()(k.bits * 31 + k.tag); }
};

ValueKey key_of(const Value& v) {
  ValueKey k{0, v.tag};
  if (v.tag == TAG_NUMBER) {
    double n = v.u.n == 0 ? 0.0 : v.u.n;
    std::memcpy(&k.bits, &n, sizeof n);
  } else if (v.tag == TAG_BOOLEAN) {
    k.bits = v.u.b != 0;
  } else if (v.tag != TAG_NULL) {
    k.bits = reinterpret_cast<uintptr_t>(v.u.p);
  }
  return k;
}

int tab_unique(VmState* L) {
  RawTable t = table_arg(L, ARG1);
  int64_t len = t.length();
  RawTable r = push_array(L, 0);
  std::unordered_set<ValueKey, ValueKeyHash> seen;
  int64_t n = 0;
  for (int64_t i = 1; i <= len; ++i) {
    Value v = t.get(i);
    if (v.is_null()) continue;
    if (v.tag == TAG_NUMBER && v.u.n != v.u.n) {
      r.set(++n, v);  // NaN equals nothing, not even itself
      continue;
    }
    if (seen.insert(key_of(v)).second) r.set(++n, v);
  }
  return 1;
}

// The quicksort of table.sort over t[lo..up], recursing into the smaller part.
class Sorter {
 public:
  Sorter(VmState* L, bool has_comparator)
      : L_(L), comparator_(has_comparator), elements_(L, TABLE_SLOT),
        function_(has_comparator ? *stack_address(L, COMPARATOR_SLOT) : make_null()) {}

  int64_t length() const { return elements_.length(); }

  void sort(int64_t lo, int64_t up, int depth) {
    if (depth > MAX_RESULTS / 4) library_error(L_, "stack overflow (%s)", "");
    while (lo < up) {
      if (before(get(up), get(lo))) swap(lo, up);
      if (up - lo == 1) return;
      int64_t m = (lo + up) / 2;
      if (before(get(m), get(lo))) {
        swap(m, lo);
      } else if (before(get(up), get(m))) {
        swap(m, up);
      }
      if (up - lo == 2) return;
      Value pivot = get(m);
      // The pivot stays anchored on the stack even if a comparator empties the table.
      *stack_address(L_, pivot_slot()) = pivot;
      swap(m, up - 1);
      int64_t i = lo, j = up - 1;
      for (;;) {
        while (true) {
          if (++i > up) library_error(L_, "invalid order function for sorting");
          if (!before(get(i), pivot)) break;
        }
        while (true) {
          if (--j < lo) library_error(L_, "invalid order function for sorting");
          if (!before(pivot, get(j))) break;
        }
        if (j < i) break;
        swap(i, j);
      }
      swap(up - 1, i);
      if (i - lo < up - i) {
        sort(lo, i - 1, depth + 1);
        lo = i + 1;
      } else {
        sort(i + 1, up, depth + 1);
        up = i - 1;
      }
    }
  }

 private:
  VmState* L_;
  bool comparator_;
  RawTable elements_;  // the table is anchored in its argument slot for the whole sort
  Value function_;     // likewise

  static constexpr int TABLE_SLOT = ARG1;
  static constexpr int COMPARATOR_SLOT = ARG2;
  static int pivot_slot() { return ARG3; }

  Value get(int64_t i) const { return elements_.get(i); }
  void swap(int64_t a, int64_t b) { elements_.swap(a, b); }
  bool before(const Value& a, const Value& b) {
    if (!comparator_) {
      if (a.tag == TAG_NUMBER && b.tag == TAG_NUMBER) return a.u.n < b.u.n;
      push(L_, a);
      push(L_, b);
      bool r = less_than(L_, L_->top - 2, L_->top - 1);
      L_->top -= 2;
      return r;
    }
    push(L_, function_);
    push(L_, a);
    push(L_, b);
    call(L_, 2, 1);
    bool r = !is_falsy(L_->top[-1]);
    L_->top--;
    return r;
  }
};

int tab_sort(VmState* L) {
  check_table(L, ARG1);
  bool has_comparator = !is_none_or_null(L, ARG2);
  if (has_comparator) check_type(L, ARG2, TAG_FUNCTION);
  set_top(L, ARG3);  // ARG3 holds the pivot
  ensure_stack(L, 8);
  Sorter sorter(L, has_comparator);
  sorter.sort(1, sorter.length(), 0);
  return 0;
}

int tab_append(VmState* L) {
  check_table(L, ARG1);
  int top = get_top(L);
  for (int a = ARG2; a <= top; ++a) {
    int type = type_of(L, a);
    if (type == TAG_NULL) continue;
    if (type != TAG_TABLE) type_arg_error(L, a, "table");
    RawTable t(L, ARG1), src(L, a);
    int64_t len = t.length();
    int64_t n = src.length();
    for (int64_t i = 1; i <= n; ++i) t.set(len + i, src.get(i));
  }
  set_top(L, ARG1);
  return 1;
}

bool numeric_key(const Value& k, double* out) {
  if (k.tag == TAG_NUMBER) {
    *out = k.u.n;
    return true;
  }
  if (k.tag == TAG_STRING) return to_number_value(&k, out);
  return false;
}

int tab_concat(VmState* L) {
  int top = get_top(L);
  if (type_of(L, ARG1) == TAG_TABLE && type_of(L, ARG2) != TAG_TABLE) return string_join(L);
  for (int a = ARG1; a <= top; ++a)
    if (type_of(L, a) != TAG_TABLE) type_arg_error(L, a, "table");
  if (top >= ARG1 && is_array(L, ARG1))
    new_array(L, 0);
  else
    new_table(L, 0, 0);
  RawTable r(L, -1);
  double offset = 0;
  for (int a = ARG1; a <= top; ++a) {
    double counted = 0;
    RawTable from(L, a);
    Value kv[2];
    kv[0] = make_null();
    while (from.next(kv)) {
      double k;
      if (numeric_key(kv[0], &k)) {
        ++counted;
        r.store(make_number(k + offset), kv[1]);
      } else {
        if (kv[0].tag == TAG_STRING && kv[0].string()->length > 0 && kv[0].string()->data()[0] == '_') continue;
        r.store(kv[0], kv[1]);
      }
    }
    offset += counted;
  }
  return 1;
}

// The `_call` of range results: each call returns the next key and value of the table.
int range_iterator(VmState* L) {
  if (type_of(L, 1) != TAG_TABLE) return 0;
  Value kv[2];
  kv[0] = *stack_address(L, upvalue_index(1));
  if (!RawTable(L, 1).next(kv)) {
    push_null(L);
    replace(L, upvalue_index(1));
    return 0;
  }
  push(L, kv[0]);
  push(L, kv[0]);
  replace(L, upvalue_index(1));
  push(L, kv[1]);
  return 2;
}

int tab_range(VmState* L) {
  if (type_of(L, ARG1) == TAG_TABLE) {
    Value kv[2];
    kv[0] = make_null();
    bool any = false;
    double lo = 0, hi = 0;
    while (RawTable(L, ARG1).next(kv)) {
      double k;
      if (!numeric_key(kv[0], &k)) continue;
      if (!any || k < lo) lo = k;
      if (!any || k > hi) hi = k;
      any = true;
    }
    push_number(L, lo);
    push_number(L, hi);
    return 2;
  }
  int top = get_top(L);
  int mapper = 0;
  if (top >= ARG1 && type_of(L, top) == TAG_FUNCTION) {
    mapper = top;
    --top;
  }
  int count = top - 1;
  double start = 1, end, step = 1;
  if (count <= 1) {
    end = check_number(L, ARG1);
  } else {
    start = check_number(L, ARG1);
    end = check_number(L, ARG2);
    if (count >= 3) step = check_number(L, ARG3);
  }
  new_array(L, 0);
  int result = get_top(L);
  RawTable r(L, result);
  int64_t n = 0;
  // A step of 0 would never reach the end; it gives an empty range.
  for (double v = start; step != 0 && (step > 0 ? v <= end : v >= end); v += step) {
    ++n;
    if (mapper) {
      push_value(L, mapper);
      push_null(L);
      push_number(L, v);
      push_number(L, static_cast<double>(n));
      call(L, 3, 1);
    } else {
      push_number(L, v);
    }
    r.set(n, L->top[-1]);
    L->top--;
    if (n >= (int64_t{1} << 31)) break;
  }
  new_table(L, 0, 1);
  push_null(L);
  push_closure(L, range_iterator, 1);
  set_field(L, -2, "_call");
  set_metatable(L, result);
  return 1;
}

int tab_next(VmState* L) {
  check_table(L, ARG1);
  set_top(L, ARG2);
  if (next(L, ARG1)) return 2;
  return 0;
}

int tab_get_attr(VmState* L) {
  check_any(L, ARG1);
  check_any(L, ARG2);
  set_top(L, ARG2);
  get_table(L, ARG1);
  return 1;
}

int tab_set_attr(VmState* L) {
  check_any(L, ARG1);
  check_any(L, ARG2);
  set_top(L, ARG3);
  set_table(L, ARG1);
  return 0;
}

int tab_is_array(VmState* L) {
  push_boolean(L, is_array(L, ARG1));
  return 1;
}

int tab_is_array_like(VmState* L) {
  push_boolean(L, is_array(L, ARG1) || (type_of(L, ARG1) == TAG_TABLE && length_of(L, ARG1) > 0));
  return 1;
}

constexpr int CLONE_DEPTH_LIMIT = 200;

// Copies the table at stack index src into a new table left on top of the stack.
void clone_into_top(VmState* L, int src, int depth) {
  if (depth > CLONE_DEPTH_LIMIT || !check_stack(L, 4)) library_error(L, "Too deeply nested.");
  new_table_like(L, src);
  int dst = get_top(L);
  if (get_metatable(L, src)) set_metatable(L, dst);
  RawTable from(L, src), to(L, dst);
  Value kv[2];
  kv[0] = make_null();
  while (from.next(kv)) {
    if (kv[1].tag == TAG_TABLE) {
      push(L, kv[1]);
      clone_into_top(L, get_top(L), depth + 1);
      Value copy = L->top[-1];
      L->top -= 2;
      to.store(kv[0], copy);
    } else {
      to.store(kv[0], kv[1]);
    }
  }
}

int tab_clone(VmState* L) {
  check_table(L, ARG1);
  set_top(L, ARG1);
  clone_into_top(L, ARG1, 0);
  return 1;
}

int tab_tostring(VmState* L) {
  check_table(L, ARG1);
  bool raw = !is_falsy(*stack_address(L, ARG2));
  std::string out;
  serialize_table(L, ARG1, raw, out);
  push_lstring(L, out.data(), out.size());
  return 1;
}

const LibraryFunction TABLE_FUNCTIONS[] = {
    {"insert", tab_insert},   {"remove", tab_remove},       {"push", tab_push},
    {"pop", tab_pop},         {"splice", tab_splice},       {"slice", tab_slice},
    {"unpack", tab_unpack},   {"left", tab_left},           {"right", tab_right},
    {"reverse", tab_reverse}, {"unique", tab_unique},       {"sort", tab_sort},
    {"append", tab_append},   {"concat", tab_concat},       {"range", tab_range},
    {"next", tab_next},       {"getAttr", tab_get_attr},    {"setAttr", tab_set_attr},
    {"isArray", tab_is_array}, {"isArrayLike", tab_is_array_like}, {"clone", tab_clone},
    {"tostring", tab_tostring}, {nullptr, nullptr},
};

}  // namespace

void open_table_library(VmState* L) {
  register_library(L, "table", TABLE_FUNCTIONS);
  L->top--;
}

}  // namespace quevro
