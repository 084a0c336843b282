#include "runtime/message_primitives.h"

#include <cstdint>
#include <vector>

#include "runtime/safe_points.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/metamethods.h"

namespace quevro {

namespace {

constexpr uint32_t DEFAULT_WAKE_MASK = 7423;  // input, posted messages, timers, paint, hot keys, sent messages
constexpr const char* MSG_STRUCT = "addr hwnd;INT message;ADDR wParam;addr lParam;INT time;int x;int y";

void set_number_field(VmState* L, int table, const char* key, double v) {
  push_number(L, v);
  raw_set_field(L, table, key);
}

// Fills the table at idx (or a new one pushed on the stack) with the message's fields; returns
// the stack index of the table.
int push_message_table(VmState* L, int idx, const winsys::Message& m) {
  ensure_stack(L, 2);
  if (type_of(L, idx) == TAG_TABLE) {
    push_value(L, idx);
  } else {
    new_table(L, 0, 8);
  }
  int t = get_top(L);
  set_number_field(L, t, "hwnd", static_cast<double>(reinterpret_cast<uintptr_t>(m.hwnd)));
  set_number_field(L, t, "message", m.message);
  set_number_field(L, t, "wParam", static_cast<double>(m.wparam));
  set_number_field(L, t, "lParam", static_cast<double>(m.lparam));
  set_number_field(L, t, "time", m.time);
  set_number_field(L, t, "x", m.x);
  set_number_field(L, t, "y", m.y);
  raw_get_field(L, t, "_struct");
  bool has_struct = type_of(L, -1) != TAG_NULL;
  pop(L, 1);
  if (!has_struct) {
    push_string(L, MSG_STRUCT);
    raw_set_field(L, t, "_struct");
  }
  return t;
}

// A field of the table at idx as a number: numbers and numeric strings, anything else 0.
double number_field(VmState* L, int idx, const char* key) {
  raw_get_field(L, idx, key);
  double n = to_number(L, -1);
  pop(L, 1);
  return n;
}

// A field as a 32-bit integer.
int64_t integer_field(VmState* L, int idx, const char* key) { return to_int32(number_field(L, idx, key)); }

uint32_t opt_u32(VmState* L, int idx, uint32_t fallback) {
  return static_cast<uint32_t>(is_none_or_null(L, idx) ? fallback : static_cast<uint32_t>(to_int32(check_number(L, idx))));
}

winsys::WindowHandle window_arg(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  if (v->tag == TAG_POINTER) return v->u.p;
  double n;
  if (to_number_value(v, &n)) return reinterpret_cast<winsys::WindowHandle>(static_cast<uintptr_t>(n));
  return nullptr;
}

}  // namespace

int message_peek(VmState* L) {
  reach_safe_point();
  winsys::Message m{};
  bool got = winsys::peek_message(&m, window_arg(L, ARG2), opt_u32(L, ARG3, 0), opt_u32(L, ARG4, 0), opt_u32(L, ARG5, 1));
  if (!got) {
    push_boolean(L, false);
    return 1;
  }
  if (m.message == winsys::WM_QUIT) {
    if (type_of(L, ARG1) == TAG_TABLE) push_message_table(L, ARG1, m);
    return 0;
  }
  push_message_table(L, ARG1, m);
  return 1;
}

int message_get(VmState* L) {
  reach_safe_point();
  winsys::Message m{};
  int r = winsys::get_message(&m, nullptr, 0, 0);
  if (r == 0) {
    if (type_of(L, ARG1) == TAG_TABLE) push_message_table(L, ARG1, m);
    return 0;
  }
  if (r == -1) {
    if (type_of(L, ARG1) == TAG_TABLE) push_message_table(L, ARG1, m);
    push_boolean(L, false);
    return 1;
  }
  push_message_table(L, ARG1, m);
  return 1;
}

int message_translate_dispatch(VmState* L) {
  check_table(L, ARG1);
  winsys::Message m{};
  // Window handles are pointer-sized here, so the handle is not cut to 32 bits.
  double hwnd_number = number_field(L, ARG1, "hwnd");
  m.hwnd = reinterpret_cast<winsys::WindowHandle>(static_cast<uintptr_t>(hwnd_number));
  m.message = static_cast<uint32_t>(integer_field(L, ARG1, "message"));
  // wParam and lParam are pointer-sized as well (a window-call packet's address travels in
  // lParam); cutting them to 32 bits would hand the window procedure a wrong address.
  m.wparam = static_cast<uintptr_t>(static_cast<int64_t>(number_field(L, ARG1, "wParam")));
  m.lparam = static_cast<intptr_t>(number_field(L, ARG1, "lParam"));
  m.time = static_cast<uint32_t>(integer_field(L, ARG1, "time"));
  m.x = static_cast<int32_t>(integer_field(L, ARG1, "x"));
  m.y = static_cast<int32_t>(integer_field(L, ARG1, "y"));
  winsys::translate_message(&m);
  winsys::dispatch_message(&m);
  return 0;
}

int wait_for_multiple_objects(VmState* L) {
  reach_safe_point();
  uint32_t timeout = is_none_or_null(L, ARG1) ? winsys::INFINITE : static_cast<uint32_t>(to_int32(check_number(L, ARG1)));
  bool wait_all = to_boolean(L, ARG2);
  std::vector<winsys::Handle> handles;
  if (type_of(L, ARG3) == TAG_TABLE) {
    RawTable t(L, ARG3);
    int64_t n = t.length();
    for (int64_t i = 1; i <= n; ++i) {
      Value v = t.get(i);
      handles.push_back(v.tag == TAG_POINTER ? v.u.p : nullptr);
    }
  }
  uint32_t mask = opt_u32(L, ARG4, DEFAULT_WAKE_MASK);
  uint32_t count = static_cast<uint32_t>(handles.size());
  uint32_t r = wait_all ? winsys::wait_for_multiple_objects(count, handles.data(), true, timeout)
                        : winsys::msg_wait_for_multiple_objects(count, handles.data(), false, timeout, mask);
  // A wait ended for a thread that is to end: it ends here, before the script sees the result.
  if (r == winsys::WAIT_IO_COMPLETION) reach_safe_point();
  push_number(L, r);
  return 1;
}

}  // namespace quevro
