// The global functions every state has: conversions, type queries, errors and assertions,
// protected and plain calls, code loading, collector control, process services and fibers.
#include "lib/base_library.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "compiler/chunk_dumper.h"
#include "compiler/chunk_entry.h"
#include "runtime/app_paths.h"
#include "runtime/library_registry.h"
#include "runtime/message_primitives.h"
#include "runtime/modules.h"
#include "runtime/system_errors.h"
#include "runtime/top_level_report.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/calls.h"
#include "vm/cdata.h"
#include "vm/collector.h"
#include "vm/debug_info.h"
#include "vm/encoding.h"
#include "vm/metamethods.h"
#include "vm/number.h"

namespace quevro {

namespace {

int visible_count(VmState* L) { return get_top(L) > 1 ? get_top(L) - 1 : 0; }

char locale_decimal_point() {
  const lconv* lc = std::localeconv();
  return (lc && lc->decimal_point && lc->decimal_point[0]) ? lc->decimal_point[0] : '.';
}

std::string integer_in_base(int64_t v, int base) {
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  bool negative = v < 0;
  uint64_t u = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  std::string out;
  do {
    out.insert(out.begin(), digits[u % static_cast<uint64_t>(base)]);
    u /= static_cast<uint64_t>(base);
  } while (u);
  if (base == 16) out.insert(0, "0x");
  if (negative) out.insert(out.begin(), '-');
  return out;
}

int64_t truncate_to_int64(double n) {
  if (std::isnan(n)) return 0;
  if (n >= 9223372036854775807.0) return INT64_MAX;
  if (n <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(n);
}

}  // namespace

std::string number_text(double n) {
  if (n == 0) return "0";
  if (n == std::trunc(n) && std::fabs(n) <= 9007199254740992.0) return std::to_string(static_cast<int64_t>(n));
  char buf[32];
  return std::string(buf, format_number(n, buf));
}

void push_tostring(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  switch (v->tag) {
    case TAG_NULL: push_string(L, "null"); return;
    case TAG_BOOLEAN: push_string(L, v->u.b ? "true" : "false"); return;
    case TAG_STRING: push(L, *v); return;
    case TAG_NUMBER: {
      std::string s = number_text(v->u.n);
      push_lstring(L, s.data(), s.size());
      return;
    }
    default: break;
  }
  if (get_metafield(L, idx, "_tostring")) {
    if (type_of(L, -1) == TAG_FUNCTION) {
      push_value(L, idx);
      call(L, 1, 1);
      return;
    }
    pop(L, 1);
  }
  v = stack_address(L, idx);
  if (v->tag == TAG_CDATA && v->cdata()->is_buffer()) {
    push_lstring(L, reinterpret_cast<const char*>(v->cdata()->data()), v->cdata()->size);
    return;
  }
  const void* address = v->tag == TAG_CDATA ? static_cast<const void*>(v->cdata()->data()) : v->u.p;
  push_fstring(L, "%s: %p", value_type_name(v), address);
}

namespace {

int base_tostring(VmState* L) {
  check_any(L, ARG1);
  Value* v = stack_address(L, ARG1);
  if (v->tag == TAG_NUMBER && !is_none_or_null(L, ARG2)) {
    int base = check_integer(L, ARG2);
    if (base != 10) {
      if (base < 2 || base > 36) arg_error(L, ARG2, "base out of range");
      std::string s = integer_in_base(truncate_to_int64(v->u.n), base);
      push_lstring(L, s.data(), s.size());
      return 1;
    }
  }
  if (v->tag == TAG_NUMBER) {
    std::string s = number_text(v->u.n);
    if (!is_none_or_null(L, ARG3)) {
      char point = static_cast<char>(check_integer(L, ARG3));
      char local = locale_decimal_point();
      if (point != local)
        for (char& c : s)
          if (c == local) c = '.';
    }
    push_lstring(L, s.data(), s.size());
    return 1;
  }
  int n = get_top(L);
  if (get_metafield(L, ARG1, "_tostring")) {
    if (type_of(L, -1) == TAG_FUNCTION) {
      // _tostring gets v as owner and the further arguments.
      for (int i = ARG1; i <= n; ++i) push_value(L, i);
      call(L, n - 1, 1);
      return 1;
    }
    pop(L, 1);
  }
  push_tostring(L, ARG1);
  return 1;
}

int base_tonumber(VmState* L) {
  check_any(L, ARG1);
  Value* v = stack_address(L, ARG1);
  switch (v->tag) {
    case TAG_NULL: return 0;
    case TAG_BOOLEAN: push_number(L, v->u.b ? 1 : 0); return 1;
    case TAG_POINTER: push_number(L, static_cast<double>(reinterpret_cast<uintptr_t>(v->u.p))); return 1;
    case TAG_NUMBER: push(L, *v); return 1;
    default: break;
  }
  const char* text = nullptr;
  size_t len = 0;
  if (v->tag == TAG_STRING || (v->tag == TAG_CDATA && v->cdata()->is_buffer())) {
    text = to_lstring(L, ARG1, &len);
  } else {
    if (!get_metafield(L, ARG1, "_tonumber") || type_of(L, -1) != TAG_FUNCTION) return 0;
    push_value(L, ARG1);
    call(L, 1, 1);
    return 1;
  }
  int64_t start = opt_integer(L, ARG3, 1);
  if (start < 0) start = static_cast<int64_t>(len) + start + 1;
  if (start < 1) start = 1;
  if (start > static_cast<int64_t>(len) + 1) start = static_cast<int64_t>(len) + 1;
  std::string s(text + start - 1, len - static_cast<size_t>(start - 1));
  size_t at = 0;
  bool negative = false;
  if (!s.empty() && s[0] == '-') {
    negative = true;
    at = 1;
  }
  const char* begin = s.c_str() + at;
  char* end = nullptr;
  double result = 0;
  int base = is_none_or_null(L, ARG2) ? 10 : check_integer(L, ARG2);
  if (base != 10) {
    if (base < 2 || base > 36) arg_error(L, ARG2, "base out of range");
    result = static_cast<double>(std::strtoll(begin, &end, base));
  } else if (begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X')) {
    result = static_cast<double>(std::strtoll(begin, &end, 16));
  } else {
    std::string local(begin);
    if (!is_none_or_null(L, ARG4)) {
      char point = static_cast<char>(check_integer(L, ARG4));
      char lp = locale_decimal_point();
      if (point != lp)
        for (size_t i = 0; i < local.size() && i < 31; ++i)
          if (local[i] == point) local[i] = lp;
    }
    char* local_end = nullptr;
    result = std::strtod(local.c_str(), &local_end);
    end = const_cast<char*>(begin) + (local_end - local.c_str());
  }
  size_t read = static_cast<size_t>(end - begin);
  if (read == 0) return 0;
  push_number(L, negative ? -result : result);
  push_number(L, static_cast<double>(read + at));
  return 2;
}

int base_topointer(VmState* L) {
  Value* v = stack_address(L, ARG1);
  double n;
  if (v->tag == TAG_POINTER) {
    auto address = reinterpret_cast<uintptr_t>(v->u.p) + static_cast<uintptr_t>(static_cast<intptr_t>(opt_number(L, ARG2, 0)));
    push_pointer(L, reinterpret_cast<void*>(address));
    return 1;
  }
  if (to_number_value(v, &n)) {
    push_pointer(L, reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<int64_t>(std::nearbyint(n)))));
    return 1;
  }
  return 0;
}

// type(v): the type name, then for a table its raw `_struct` (string or number) and its
// metatable's raw `_type`; for a cdata with a metatable the metatable's `_type`.
int push_type_results(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  if (is_absent(v)) return 0;
  int tag = static_cast<int>(v->tag);
  push_string(L, value_type_name(v));
  int n = 1;
  if (tag == TAG_TABLE) {
    raw_get_field(L, idx, "_struct");
    if (type_of(L, -1) == TAG_STRING || type_of(L, -1) == TAG_NUMBER)
      ++n;
    else
      pop(L, 1);
    if (get_metafield(L, idx, "_type")) ++n;
  } else if (tag == TAG_CDATA && get_metafield(L, idx, "_type")) {
    if (type_of(L, -1) == TAG_STRING || type_of(L, -1) == TAG_NUMBER)
      ++n;
    else
      pop(L, 1);
  }
  return n;
}

int base_type(VmState* L) { return push_type_results(L, ARG1); }

int type_eq(VmState* L) {
  check_any(L, ARG1);
  check_any(L, ARG2);
  int top = get_top(L);
  int na = push_type_results(L, ARG1);
  int nb = push_type_results(L, ARG2);
  if (na != nb) return 0;
  for (int i = 1; i <= na; ++i)
    if (!raw_equal(L, top + i, top + na + i)) return 0;
  push_boolean(L, true);
  return 1;
}

int type_rget(VmState* L) {
  int n = push_type_results(L, ARG1);
  if (n == 0) return 0;
  return 1;
}

int type_is_string(VmState* L) {
  Value* v = stack_address(L, ARG1);
  if (v->tag == TAG_STRING || (v->tag == TAG_CDATA && v->cdata()->is_buffer())) {
    push_boolean(L, true);
    return 1;
  }
  return 0;
}

int base_error(VmState* L) {
  if (get_top(L) < ARG1) {
    ensure_stack(L, 1);
    push_null(L);
    raise_error(L);
  }
  int level = opt_integer(L, ARG2, 1);
  set_top(L, ARG1);
  if (is_string(L, ARG1) && level > 0) {
    std::string prefix = where(L, level);
    push_lstring(L, prefix.data(), prefix.size());
    push_value(L, ARG1);
    concat(L, 2);
  }
  raise_error(L);
}

// The text of an assertion message: strings and numbers, a buffer's bytes, else "unknown error!".
std::string assertion_text(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  size_t len;
  if (v->tag == TAG_STRING || v->tag == TAG_NUMBER || (v->tag == TAG_CDATA && v->cdata()->is_buffer())) {
    const char* s = to_lstring(L, idx, &len);
    return std::string(s, len);
  }
  return "unknown error!";
}

int base_assert(VmState* L) {
  check_any(L, ARG1);
  if (is_falsy(*stack_address(L, ARG1))) library_error(L, "assert failed: %s", assertion_text(L, ARG2).c_str());
  return visible_count(L);
}

int base_assertf(VmState* L) {
  check_any(L, ARG1);
  if (!is_falsy(*stack_address(L, ARG1))) library_error(L, "assert failed: %s", assertion_text(L, ARG2).c_str());
  return visible_count(L) - 1;
}

int base_assert2(VmState* L) {
  check_any(L, ARG2);
  if (!is_falsy(*stack_address(L, ARG2))) return visible_count(L) - 2;
  int level = opt_integer(L, ARG1, 1);
  std::string text = assertion_text(L, ARG3);
  std::string prefix = level > 0 ? where(L, level) : std::string();
  text = prefix + text;
  push_lstring(L, text.data(), text.size());
  raise_error(L);
}

// call(f, ...): protected; true and the results, or false and the error value.
int base_call(VmState* L) {
  check_any(L, ARG1);
  int status = protected_call(L, stack_address(L, ARG1), -1, 0);
  ensure_stack(L, 1);
  push_boolean(L, status == STATUS_OK);
  insert(L, ARG1);
  return get_top(L) - 1;
}

int base_invoke(VmState* L) {
  check_any(L, ARG1);
  call_value(L, stack_address(L, ARG1), -1);
  return get_top(L) - 1;
}

int base_callex(VmState* L) {
  check_any(L, ARG2);
  if (is_none_or_null(L, ARG1)) {
    push_function(L, standard_error_handler);
    replace(L, ARG1);
  }
  ptrdiff_t handler = save_stack(L, stack_address(L, ARG1));
  int status = protected_call(L, stack_address(L, ARG2), -1, handler);
  // The handler stays below the results; drop it and put the flag in its place.
  push_boolean(L, status == STATUS_OK);
  replace(L, ARG1);
  return get_top(L) - 1;
}

int base_rget(VmState* L) {
  int type = type_of(L, ARG1);
  if (type == TAG_TABLE) {
    RawTable t(L, ARG1);
    uint32_t n = static_cast<uint32_t>(t.length());
    if (!check_stack(L, static_cast<int>(n))) library_error(L, "too many results to unpack");
    for (uint32_t i = 1; i <= n; ++i) push(L, t.get(i));
    return static_cast<int>(n);
  }
  if (type == TAG_FUNCTION) {
    // Called with a null owner and the remaining arguments.
    push_null(L);
    replace(L, 1);
    int n = get_top(L);
    push_value(L, ARG1);
    push_null(L);
    for (int i = ARG2; i <= n; ++i) push_value(L, i);
    call(L, n - ARG1 + 1, -1);
    return get_top(L) - n;
  }
  int count = visible_count(L) - 1;
  int n = check_integer(L, ARG1);
  if (n < 0) n = count + n + 1;
  if (n <= 0 || n > count) return 0;
  return count - n + 1;
}

int base_reduce(VmState* L) {
  check_table(L, ARG1);
  RawTable t(L, ARG1);
  check_type(L, ARG2, TAG_FUNCTION);
  uint32_t n = static_cast<uint32_t>(t.length());
  uint32_t i = 1;
  if (is_none_or_null(L, ARG3)) {
    if (n == 0) library_error(L, "Reduce of empty array with no initial value");
    set_top(L, ARG3);
    push(L, t.get(1));
    replace(L, ARG3);
    i = 2;
  }
  set_top(L, ARG3);
  for (; i <= n; ++i) {
    push_value(L, ARG2);
    push_value(L, ARG1);
    push_value(L, ARG3);
    push(L, t.get(i));
    push_number(L, i);
    push_value(L, ARG1);
    call(L, 5, 1);
    replace(L, ARG3);
    n = static_cast<uint32_t>(t.length());
  }
  return 1;
}

int base_switch(VmState* L) {
  check_any(L, ARG1);
  check_table(L, ARG2);
  Value cases = *stack_address(L, ARG2);
  ensure_stack(L, 3);
  push(L, cases);
  push_value(L, ARG1);
  Value* key = L->top - 1;
  full_get(L, L->top - 2, key, L->top - 2, make_boolean(0));
  L->top--;
  if (type_of(L, -1) != TAG_FUNCTION) {
    L->top--;
    if (!is_none_or_null(L, ARG3)) {
      check_type(L, ARG3, TAG_FUNCTION);
      push_value(L, ARG3);
    } else {
      raw_get_field(L, ARG2, "default");
      if (type_of(L, -1) != TAG_FUNCTION) return 0;
    }
  }
  int first_extra = ARG4;
  int top = get_top(L) - 1;  // the handler is on top
  push(L, cases);
  for (int i = first_extra; i <= top; ++i) push_value(L, i);
  int nargs = 1 + (top >= first_extra ? top - first_extra + 1 : 0);
  int before = get_top(L) - nargs - 1;
  call(L, nargs, -1);
  return get_top(L) - before;
}

int base_sleep(VmState* L) {
  double ms = opt_number(L, ARG1, 0);
  if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
  push_boolean(L, true);
  return 1;
}

int base_execute(VmState* L) {
  size_t len;
  const char* command = opt_lstring(L, ARG1, "", &len);
  if (len == 0) return 0;
  std::fflush(nullptr);
  int status = std::system(command);
  if (status != -1 && WIFEXITED(status)) status = WEXITSTATUS(status);
  push_number(L, status);
  return 1;
}

int base_setlocale(VmState* L) {
  static const char* const names[] = {"all", "collate", "ctype", "monetary", "numeric", "time"};
  static const int categories[] = {LC_ALL, LC_COLLATE, LC_CTYPE, LC_MONETARY, LC_NUMERIC, LC_TIME};
  const char* name = opt_lstring(L, ARG1, "all", nullptr);
  int category = -1;
  for (int i = 0; i < 6; ++i)
    if (std::strcmp(name, names[i]) == 0) category = categories[i];
  if (category < 0) arg_error(L, ARG1, format_message("\ninvalid option:'%s'", name).c_str());
  const char* locale = nullptr;
  if (!is_none_or_null(L, ARG2)) {
    if (type_of(L, ARG2) != TAG_STRING) arg_error(L, ARG2, "\n{Expected}:string ");
    locale = to_string(L, ARG2);
  }
  const char* result = std::setlocale(category, locale);
  if (result)
    push_string(L, result);
  else
    push_null(L);
  return 1;
}

// This platform has no privilege names of the kind the function takes; the lookup fails.
int base_setprivilege(VmState* L) {
  check_lstring(L, ARG1, nullptr);
  push_boolean(L, false);
  return 1;
}

int base_collectgarbage(VmState* L) {
  static const char* const options[] = {"stop", "restart", "collect", "count", "step", "setpause", "setstepmul"};
  static const int codes[] = {GC_STOP, GC_RESTART, GC_COLLECT, GC_COUNT, GC_STEP, GC_SETPAUSE, GC_SETSTEPMUL};
  const char* name = opt_lstring(L, ARG1, "collect", nullptr);
  int option = -1;
  for (int i = 0; i < 7; ++i)
    if (std::strcmp(name, options[i]) == 0) option = codes[i];
  if (option < 0) arg_error(L, ARG1, format_message("\ninvalid option:'%s'", name).c_str());
  int data = opt_integer(L, ARG2, 0);
  switch (option) {
    case GC_COUNT: {
      int kb = gc_control(L, GC_COUNT, 0);
      int bytes = gc_control(L, GC_COUNT_BYTES, 0);
      push_number(L, kb + bytes / 1024.0);
      return 1;
    }
    case GC_STEP: push_boolean(L, gc_control(L, GC_STEP, data) != 0); return 1;
    default: push_number(L, gc_control(L, option, data)); return 1;
  }
}

// loadcode(code, chunkname): a function, or null and the message.
int base_loadcode(VmState* L) {
  int status;
  if (type_of(L, ARG1) == TAG_FUNCTION) {
    const char* name = opt_lstring(L, ARG2, "<loadcode>", nullptr);
    status = load_from_reader(L, ARG1, name);
  } else {
    size_t len;
    const char* code = check_lstring(L, ARG1, &len);
    const char* name = opt_lstring(L, ARG2, nullptr, nullptr);
    status = load_code_or_path(L, code, len, name ? name : "=(loadcode)");
  }
  if (status == STATUS_OK) return 1;
  push_null(L);
  insert(L, -2);
  return 2;
}

int base_loadcodex(VmState* L) {
  check_any(L, ARG1);
  int n = get_top(L);
  if (type_of(L, ARG1) != TAG_FUNCTION) {
    size_t len;
    const char* code = check_lstring(L, ARG1, &len);
    if (load_code_or_path(L, code, len, "=(loadcode)") != STATUS_OK) raise_error(L);
  } else {
    push_value(L, ARG1);
  }
  push_null(L);
  for (int i = ARG2; i <= n; ++i) push_value(L, i);
  call(L, n - ARG1 + 1, -1);
  return get_top(L) - n;
}

int base_eval(VmState* L) {
  size_t len;
  const char* text = check_lstring(L, ARG1, &len);
  if (len >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
    text += 3;
    len -= 3;
  }
  std::string source = "return " + std::string(text, len);
  std::string name(text, len);
  if (load_buffer(L, source.data(), source.size(), name.c_str()) != STATUS_OK) raise_error(L);
  int base = get_top(L) - 1;
  push_null(L);
  if (pcall(L, 1, -1, 0) != STATUS_OK) raise_error(L);
  return get_top(L) - base;
}

int append_to_string(VmState*, const void* bytes, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
  return 0;
}

// dumpcode(f, name, strip): the precompiled chunk of f (compiled first when it is code).
int base_dumpcode(VmState* L) {
  const char* name = opt_lstring(L, ARG2, nullptr, nullptr);
  bool strip = to_boolean(L, ARG3);
  if (type_of(L, ARG1) != TAG_FUNCTION) {
    size_t len;
    const char* code = check_lstring(L, ARG1, &len);
    if (load_code_or_path(L, code, len, "=(loadcode)") != STATUS_OK) raise_error(L);
    replace(L, ARG1);
  }
  const Prototype* p = script_prototype(L, ARG1);
  if (p == nullptr) library_error(L, "unable to dump given function");
  std::string bytes;
  if (dump_prototype(L, p, append_to_string, &bytes, strip, name) != 0)
    library_error(L, "unable to dump given function");
  push_lstring(L, bytes.data(), bytes.size());
  return 1;
}

// lasterr(code): the system's text for an error number (the calling thread's last system error
// when none is given), then the number.
int base_lasterr(VmState* L) {
  uint32_t code = is_none_or_null(L, ARG1) ? last_system_error() : static_cast<uint32_t>(check_integer(L, ARG1));
  std::string text = system_error_text(code);
  push_lstring(L, text.data(), text.size());
  push_number(L, code);
  return 2;
}

// errput(message, title): the message goes through onError and, when it still is text, is shown
// as a top-level report under the title and returned.
int base_errput(VmState* L) {
  if (!is_string(L, ARG1)) return 0;
  const char* title = "errput";
  if (!is_none_or_null(L, ARG2)) {
    if (type_of(L, ARG2) != TAG_STRING) type_arg_error(L, ARG2, "string");
    title = to_string(L, ARG2);
  }
  std::string caption = title;
  ensure_stack(L, 3);
  push_function(L, standard_error_handler);
  push_null(L);
  push_value(L, ARG1);
  call(L, 2, 1);
  if (!is_string(L, -1)) return 0;
  top_level_report(L, caption.c_str(), false);
  return 1;
}

// The root directory given to fiber.create: an existing folder, with its trailing separator.
std::string fiber_root_directory(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_STRING) arg_error(L, idx, "Ininvalid directory!");
  size_t len;
  const char* raw = to_lstring(L, idx, &len);
  std::string dir = resolve_app_path(std::string(raw, len));
  if (!directory_exists(dir)) arg_error(L, idx, "Ininvalid directory!");
  if (dir.back() != '/') dir += '/';
  return dir;
}

int fiber_create(VmState* L) {
  if (script_prototype(L, ARG1) == nullptr) arg_error(L, ARG1, "\n{Expected}:function ");
  bool rooted = !is_none_or_null(L, ARG2);
  std::string root = rooted ? fiber_root_directory(L, ARG2) : std::string();
  VmState* co = new_fiber(L);  // starts with this fiber's root
  push(L, make_object(co));
  if (rooted) set_state_root(co, root);
  // The fiber's stack holds its main function until the first resume.
  Value fn = *stack_address(L, ARG1);
  *co->top++ = fn;
  return 1;
}

VmState* check_fiber(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  if (v->tag != TAG_FIBER) arg_error(L, idx, "\n{Expected}:fiber ");
  return v->fiber();
}

// Moves n values from the top of one fiber's stack to another's.
void move_values(VmState* from, VmState* to, int n) {
  ensure_stack(to, n);
  from->top -= n;
  for (int i = 0; i < n; ++i) *to->top++ = from->top[i];
}

int fiber_resume(VmState* L) {
  VmState* co = check_fiber(L, ARG1);
  int nargs = get_top(L) - ARG1;
  if (nargs >= STACK_WINDOW_LIMIT) library_error(L, "too many arguments to resume");
  bool starting = co->status == STATUS_OK && co->frame == co->frames;
  if (starting && get_top(co) == 0) {
    // Finished: nothing is left to run.
    push_boolean(L, false);
    push_string(L, "cannot resume dead fiber");
    return 2;
  }
  if (!check_stack(co, nargs + 1)) library_error(L, "too many arguments to resume");
  if (starting && co->top > co->base) *co->top++ = make_null();  // the null owner of the main function
  move_values(L, co, nargs);
  int status = resume(co, starting ? nargs + 1 : nargs);
  if (status == STATUS_OK || status == STATUS_YIELD) {
    int nres = get_top(co);
    if (nres >= STACK_WINDOW_LIMIT || !check_stack(L, nres + 1)) library_error(L, "too many results to resume");
    push_boolean(L, true);
    move_values(co, L, nres);
    return nres + 1;
  }
  // The message is taken off first: a fiber that tried to resume itself is L as well.
  Value message = *--co->top;
  push_boolean(L, false);
  push(L, message);
  return 2;
}

int fiber_yield(VmState* L) { return yield(L, get_top(L) - 1); }

int fiber_current(VmState* L) {
  if (L == G(L)->main_fiber) return 0;
  push(L, make_object(L));
  return 1;
}

int fiber_status(VmState* L) {
  VmState* co = check_fiber(L, ARG1);
  const char* s;
  if (co == L)
    s = "current";
  else if (co->status == STATUS_YIELD)
    s = "suspended";
  else if (co->status != STATUS_OK)
    s = "dead";
  else if (co->frame != co->frames)
    s = "running";
  else if (co->top > co->base)
    s = "suspended";  // its function has not started yet
  else
    s = "dead";
  push_string(L, s);
  return 1;
}

const LibraryFunction BASE_FUNCTIONS[] = {
    {"tostring", base_tostring}, {"tonumber", base_tonumber}, {"topointer", base_topointer},
    {"error", base_error},       {"assert", base_assert},     {"assert2", base_assert2},
    {"assertf", base_assertf},   {"call", base_call},
    {"callex", base_callex},     {"invoke", base_invoke},     {"rget", base_rget},
    {"reduce", base_reduce},     {"switch", base_switch},     {"sleep", base_sleep},
    {"execute", base_execute},   {"setlocale", base_setlocale}, {"setprivilege", base_setprivilege},
    {"collectgarbage", base_collectgarbage}, {"loadcode", base_loadcode}, {"loadcodex", base_loadcodex},
    {"eval", base_eval},         {"dumpcode", base_dumpcode}, {"errput", base_errput}, {"lasterr", base_lasterr}, {"import", base_import},
    {"__messagePeek", message_peek}, {"__messageGet", message_get},
    {"__messageTranslateDispatch", message_translate_dispatch},
    {"__waitForMultipleObjects", wait_for_multiple_objects}, {nullptr, nullptr},
};

const LibraryFunction TYPE_FUNCTIONS[] = {
    {"eq", type_eq}, {"rget", type_rget}, {"isString", type_is_string}, {nullptr, nullptr},
};

const LibraryFunction FIBER_FUNCTIONS[] = {
    {"create", fiber_create}, {"resume", fiber_resume}, {"yield", fiber_yield},
    {"current", fiber_current}, {nullptr, nullptr},
};

// A class whose namespace holds each name as a string constant of itself.
void push_constant_class(VmState* L, NativeFn fn, const char* const* names) {
  ensure_stack(L, 3);
  push_closure(L, fn, 0, true);
  get_env(L, -1);
  for (const char* const* n = names; *n; ++n) {
    push_string(L, *n);
    raw_set_field(L, -2, *n);
  }
  pop(L, 1);
}

int fiber_status_class(VmState* L) { return fiber_status(L); }

}  // namespace

// The onError step: the global `onError` may replace the error value; a null result suppresses it.
int standard_error_handler(VmState* L) {
  if (type_of(L, ARG1) <= static_cast<int>(TAG_NULL)) return 0;
  set_top(L, ARG1);
  ensure_stack(L, 4);
  push_string(L, "onError");
  raw_get(L, GLOBALS_INDEX);
  if (type_of(L, -1) == TAG_FUNCTION) {
    push_null(L);
    push_value(L, ARG1);
    if (pcall(L, 2, 1, 0) == STATUS_OK) return 1;
  }
  set_top(L, ARG1);
  return 1;
}

void open_base_library(VmState* L) {
  register_library(L, "global", BASE_FUNCTIONS);
  L->top--;
  ensure_stack(L, 4);
  push_value(L, GLOBALS_INDEX);
  raw_set_field(L, GLOBALS_INDEX, "global");
  push_number(L, 44);
  raw_set_field(L, GLOBALS_INDEX, "_QUEVRO_VERSION");
  raw_get_field(L, GLOBALS_INDEX, "call");
  raw_set_field(L, GLOBALS_INDEX, "pcall");  // the same function object

  static const char* const type_names[] = {"null", "pointer", "boolean", "string", "number", "table", "cdata",
                                           "fiber", "function", "class", "buffer", nullptr};
  push_constant_class(L, base_type, type_names);
  get_env(L, -1);
  push_string(L, "io.file");
  raw_set_field(L, -2, "file");
  for (const LibraryFunction* f = TYPE_FUNCTIONS; f->name; ++f) {
    push_function(L, f->fn);
    raw_set_field(L, -2, f->name);
  }
  pop(L, 1);
  raw_set_field(L, GLOBALS_INDEX, "type");

  register_library(L, "fiber", FIBER_FUNCTIONS);
  static const char* const status_names[] = {"suspended", "running", "current", "dead", nullptr};
  push_constant_class(L, fiber_status_class, status_names);
  raw_set_field(L, -2, "status");
  pop(L, 1);
}

}  // namespace quevro
