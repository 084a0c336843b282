#include "lib/size64.h"

#include <cstring>
#include <string>

#include "lib/library_support.h"
#include "lib/unsigned64.h"
#include "runtime/library_registry.h"
#include "vm/string.h"

namespace quevro {

namespace {

constexpr const char* LIBRARY = "math";
constexpr const char* TYPE = "size64";
constexpr const char* TYPE_NAME = "math.size64";
constexpr const char* OPERAND = "math.size64|number";

// Relative indices move when the checks push; pseudo-indices stay as they are.
int absolute_index(VmState* L, int idx) { return idx < 0 && idx > REGISTRY_INDEX ? get_top(L) + idx + 1 : idx; }

// Pushes registry.math.size64 when it exists; pushes nothing and answers false otherwise.
bool push_registered_metatable(VmState* L) {
  ensure_stack(L, 2);
  raw_get_field(L, REGISTRY_INDEX, LIBRARY);
  if (type_of(L, -1) == TAG_TABLE) {
    raw_get_field(L, -1, TYPE);
    remove(L, -2);
    if (type_of(L, -1) == TAG_TABLE) return true;
  }
  pop(L, 1);
  return false;
}

// The bytes keep the stored order (low half first) whatever the host's byte order.
uint64_t read_value(const void* data) {
  uint32_t half[2];
  std::memcpy(half, data, sizeof half);
  return (static_cast<uint64_t>(half[1]) << 32) | half[0];
}

void write_value(void* data, uint64_t v) {
  uint32_t half[2] = {u64_low(v), u64_high(v)};
  std::memcpy(data, half, sizeof half);
}

// The object in the owner slot of a method call.
void* check_owner(VmState* L) {
  if (!is_size64(L, 1)) type_arg_error(L, 1, TYPE_NAME);
  return to_cdata(L, 1);
}

[[noreturn]] void division_by_zero(VmState* L) { library_error(L, "\n{Attempt to}:divide a %s by zero", TYPE_NAME); }

// The operations shared by the in-place methods and the operators.
using Operation = uint64_t (*)(VmState* L, uint64_t a, uint64_t b);

uint64_t plus(VmState*, uint64_t a, uint64_t b) { return a + b; }
uint64_t minus(VmState*, uint64_t a, uint64_t b) { return a - b; }
uint64_t times(VmState*, uint64_t a, uint64_t b) { return a * b; }
uint64_t quotient(VmState* L, uint64_t a, uint64_t b) {
  if (b == 0) division_by_zero(L);
  return a / b;
}
uint64_t remainder(VmState* L, uint64_t a, uint64_t b) {
  if (b == 0) division_by_zero(L);
  return a % b;
}
uint64_t shifted_left(VmState*, uint64_t a, uint64_t n) { return u64_shift_left(a, n); }
uint64_t shifted_right(VmState*, uint64_t a, uint64_t n) { return u64_shift_right(a, n); }

// x.op(v): x changes in place and is the result.
int update_owner(VmState* L, Operation op) {
  void* data = check_owner(L);
  uint64_t v = check_size64(L, ARG1);
  write_value(data, op(L, read_value(data), v));
  set_top(L, 1);
  return 1;
}

// An operator's handler, called with (left, right): a new object, the operands unchanged.
int operator_result(VmState* L, Operation op) {
  uint64_t a = check_size64(L, 1);
  uint64_t b = check_size64(L, 2);
  push_size64(L, op(L, a, b));
  return 1;
}

int s64_add(VmState* L) { return update_owner(L, plus); }
int s64_sub(VmState* L) { return update_owner(L, minus); }
int s64_mul(VmState* L) { return update_owner(L, times); }
int s64_div(VmState* L) { return update_owner(L, quotient); }
int s64_mod(VmState* L) { return update_owner(L, remainder); }
int s64_lshift(VmState* L) { return update_owner(L, shifted_left); }
int s64_rshift(VmState* L) { return update_owner(L, shifted_right); }

int op_add(VmState* L) { return operator_result(L, plus); }
int op_sub(VmState* L) { return operator_result(L, minus); }
int op_mul(VmState* L) { return operator_result(L, times); }
int op_div(VmState* L) { return operator_result(L, quotient); }
int op_mod(VmState* L) { return operator_result(L, remainder); }
int op_lshift(VmState* L) { return operator_result(L, shifted_left); }
int op_rshift(VmState* L) { return operator_result(L, shifted_right); }

// `_unm` gets the operand twice: the negation modulo 2^64.
int op_unm(VmState* L) {
  push_size64(L, 0 - check_size64(L, 1));
  return 1;
}

int s64_less_than(VmState* L) {
  uint64_t x = read_value(check_owner(L));
  push_boolean(L, x < check_size64(L, ARG1));
  return 1;
}

int s64_greater_than(VmState* L) {
  uint64_t x = read_value(check_owner(L));
  push_boolean(L, x > check_size64(L, ARG1));
  return 1;
}

int op_eq(VmState* L) {
  push_boolean(L, check_size64(L, 1) == check_size64(L, 2));
  return 1;
}

int op_lt(VmState* L) {
  push_boolean(L, check_size64(L, 1) < check_size64(L, 2));
  return 1;
}

int op_le(VmState* L) {
  push_boolean(L, check_size64(L, 1) <= check_size64(L, 2));
  return 1;
}

int s64_split32(VmState* L) {
  uint64_t x = read_value(check_owner(L));
  push_number(L, u64_low(x));
  push_number(L, u64_high(x));
  return 2;
}

int s64_reset(VmState* L) {
  void* data = check_owner(L);
  write_value(data, size64_from_arguments(L, ARG1));
  set_top(L, 1);
  return 1;
}

int s64_swap(VmState* L) {
  push_size64(L, u64_byte_swap(read_value(check_owner(L))));
  return 1;
}

int s64_format(VmState* L) {
  std::string text = u64_byte_size_text(read_value(check_owner(L)));
  push_lstring(L, text.data(), text.size());
  return 1;
}

int s64_tonumber(VmState* L) {
  push_number(L, u64_to_number(read_value(check_owner(L))));
  return 1;
}

int s64_tostring(VmState* L) {
  uint64_t x = read_value(check_owner(L));
  int base = opt_integer(L, ARG1, 10);
  if (base < 2 || base > 36) arg_error(L, ARG1, "base out of range");
  std::string text = (base == 16 ? "0x" : "") + u64_digits(x, base);
  push_lstring(L, text.data(), text.size());
  return 1;
}

// Signed halves, so that the text reads back through the two-number construction.
int s64_serialize(VmState* L) {
  uint64_t x = read_value(check_owner(L));
  push_fstring(L, "math.size64(%d,%d)", static_cast<int>(static_cast<int32_t>(u64_low(x))),
               static_cast<int>(static_cast<int32_t>(u64_high(x))));
  return 1;
}

const LibraryFunction SIZE64_MEMBERS[] = {
    {"add", s64_add},
    {"sub", s64_sub},
    {"mul", s64_mul},
    {"div", s64_div},
    {"mod", s64_mod},
    {"lshift", s64_lshift},
    {"rshift", s64_rshift},
    {"lessThan", s64_less_than},
    {"greaterThan", s64_greater_than},
    {"split32", s64_split32},
    {"reset", s64_reset},
    {"swap", s64_swap},
    {"format", s64_format},
    {"_tonumber", s64_tonumber},
    {"_tostring", s64_tostring},
    {"_serialize", s64_serialize},
    {"_eq", op_eq},
    {"_lt", op_lt},
    {"_le", op_le},
    {"_add", op_add},
    {"_sub", op_sub},
    {"_mul", op_mul},
    {"_div", op_div},
    {"_mod", op_mod},
    {"_unm", op_unm},
    {"_lshift", op_lshift},
    {"_rshift", op_rshift},
    {nullptr, nullptr},
};

// Text arguments are read as UTF-8; a wide string is converted first (its units would stop the
// digits at the first zero byte).
uint64_t value_of_text(VmState* L, int idx) {
  size_t len = 0;
  const char* text;
  if (string_flags(L, idx) & STR_WIDE) {
    push_wide_as_utf8(L, to_utf16(L, idx));
    text = to_lstring(L, -1, &len);
  } else {
    text = to_lstring(L, idx, &len);
  }
  uint64_t v = 0;
  if (!u64_parse(text, len, &v)) arg_error(L, idx, "number too large for math.size64 (above 18446744073709551615)");
  return v;
}

}  // namespace

bool is_size64(VmState* L, int idx) {
  idx = absolute_index(L, idx);
  if (type_of(L, idx) != TAG_CDATA || length_of(L, idx) != 8 || !get_metatable(L, idx)) return false;
  bool registered = push_registered_metatable(L);
  bool same = registered && raw_equal(L, -1, -2);
  pop(L, registered ? 2 : 1);
  return same;
}

bool to_size64(VmState* L, int idx, uint64_t* out) {
  if (is_size64(L, idx)) {
    *out = read_value(to_cdata(L, idx));
    return true;
  }
  if (!is_number(L, idx)) return false;
  *out = u64_from_number(to_number(L, idx));
  return true;
}

uint64_t check_size64(VmState* L, int idx) {
  uint64_t v = 0;
  if (!to_size64(L, idx, &v)) type_arg_error(L, idx, OPERAND);
  return v;
}

void push_size64(VmState* L, uint64_t v) {
  ensure_stack(L, 2);
  write_value(new_cdata(L, 8), v);
  push_size64_metatable(L);
  set_metatable(L, -2);
}

void push_size64_metatable(VmState* L) {
  if (push_registered_metatable(L)) return;
  register_object_type(L, LIBRARY, TYPE, SIZE64_MEMBERS);
  // The methods are found through `_get`, which is the metatable itself.
  ensure_stack(L, 1);
  push_value(L, -1);
  raw_set_field(L, -2, "_get");
}

uint64_t size64_from_arguments(VmState* L, int first) {
  if (type_of(L, first) == TAG_STRING) return value_of_text(L, first);
  if (is_size64(L, first)) return read_value(to_cdata(L, first));
  // Tables with `_struct` will be packed here once structures can be marshalled; until then a
  // table is refused like any other value that is not a number.
  double low = opt_number(L, first, 0);
  if (is_none_or_null(L, first + 1)) return u64_from_number(low);
  return u64_from_halves(low, check_number(L, first + 1));
}

}  // namespace quevro
