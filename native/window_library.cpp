#include "native/window_library.h"

#include <string>

#include "native/pointer_conversion.h"
#include "runtime/display_windows.h"
#include "runtime/library_registry.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/metamethods.h"

namespace quevro {

namespace {

using winsys::WindowHandle;

// Window handles travel as numbers (as in message tables); pointers are taken too.
WindowHandle window_arg(VmState* L, int idx) {
  Value* v = stack_address(L, idx);
  if (v->tag == TAG_POINTER) return v->u.p;
  double n;
  if (to_number_value(v, &n) && n >= 0) return reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(n));
  return nullptr;
}

void push_window(VmState* L, WindowHandle hwnd) {
  if (hwnd)
    push_number(L, static_cast<double>(reinterpret_cast<uintptr_t>(hwnd)));
  else
    push_null(L);
}

// A message word: a number, or a pointer or cdata (as "ADDR" parameters of callbacks arrive).
uintptr_t word_arg(VmState* L, int idx) {
  if (is_none_or_null(L, idx)) return 0;
  double n;
  if (to_number_value(stack_address(L, idx), &n)) return static_cast<uintptr_t>(static_cast<int64_t>(n));
  void* p = nullptr;
  if (!to_native_pointer(L, idx, true, false, &p)) type_arg_error(L, idx, "number");
  return reinterpret_cast<uintptr_t>(p);
}

std::string text_arg(VmState* L, int idx) {
  size_t len = 0;
  const char* s = opt_lstring(L, idx, "", &len);
  return std::string(s, len);
}

int display_open(VmState* L) {
  bool ok = display::open() && display::on_display_thread();
  push_boolean(L, ok);
  if (ok) return 1;
  push_string(L, display::open() ? "the display belongs to another thread" : display::last_error().c_str());
  return 2;
}

// create(procedure, title, width, height, frameless): the procedure is a native callback (see
// the header); its address must stay alive as long as the window.
int display_create(VmState* L) {
  void* proc = nullptr;
  if (!to_native_pointer(L, ARG1, false, false, &proc) || !proc) type_arg_error(L, ARG1, "callback");
  std::string title = text_arg(L, ARG2);
  display::WindowOptions options{title.c_str(), opt_integer(L, ARG3, 0), opt_integer(L, ARG4, 0), to_boolean(L, ARG5)};
  push_window(L, display::create_window(reinterpret_cast<winsys::WindowProc>(proc), nullptr, options));
  return 1;
}

int display_destroy(VmState* L) {
  push_boolean(L, display::destroy_window(window_arg(L, ARG1)));
  return 1;
}

int display_default_procedure(VmState* L) {
  intptr_t r = display::default_procedure(window_arg(L, ARG1), static_cast<uint32_t>(word_arg(L, ARG2)),
                                          word_arg(L, ARG3), static_cast<intptr_t>(word_arg(L, ARG4)));
  push_number(L, static_cast<double>(r));
  return 1;
}

int display_show(VmState* L) {
  push_boolean(L, display::show_window(window_arg(L, ARG1), opt_integer(L, ARG2, display::SW_SHOW)));
  return 1;
}

int display_set_title(VmState* L) {
  push_boolean(L, display::set_title(window_arg(L, ARG1), text_arg(L, ARG2)));
  return 1;
}

int display_client_size(VmState* L) {
  int32_t w = 0, h = 0;
  if (!display::client_size(window_arg(L, ARG1), &w, &h)) return 0;
  push_number(L, w);
  push_number(L, h);
  return 2;
}

int display_position(VmState* L) {
  int32_t x = 0, y = 0;
  if (!display::window_position(window_arg(L, ARG1), &x, &y)) return 0;
  push_number(L, x);
  push_number(L, y);
  return 2;
}

int display_move(VmState* L) {
  push_boolean(L, display::move_window(window_arg(L, ARG1), opt_integer(L, ARG2, 0), opt_integer(L, ARG3, 0),
                                       opt_integer(L, ARG4, 0), opt_integer(L, ARG5, 0)));
  return 1;
}

int display_state(VmState* L) {
  push_number(L, display::window_state(window_arg(L, ARG1)));
  return 1;
}

int display_size_limits(VmState* L) {
  push_boolean(L, display::set_size_limits(window_arg(L, ARG1), opt_integer(L, ARG2, 0), opt_integer(L, ARG3, 0),
                                           opt_integer(L, ARG4, 0), opt_integer(L, ARG5, 0)));
  return 1;
}

// win.display.shadow(hwnd, on): whether the window has a drop shadow afterwards.
int display_shadow(VmState* L) {
  push_boolean(L, display::set_shadow(window_arg(L, ARG1), to_boolean(L, ARG2)));
  return 1;
}

int display_is_real(VmState* L) {
  push_boolean(L, display::is_real_window(window_arg(L, ARG1)));
  return 1;
}

int display_send(VmState* L) {
  intptr_t r = winsys::send_message(window_arg(L, ARG1), static_cast<uint32_t>(word_arg(L, ARG2)), word_arg(L, ARG3),
                                    static_cast<intptr_t>(word_arg(L, ARG4)));
  push_number(L, static_cast<double>(r));
  return 1;
}

int display_post(VmState* L) {
  push_boolean(L, winsys::post_message(window_arg(L, ARG1), static_cast<uint32_t>(word_arg(L, ARG2)),
                                       word_arg(L, ARG3), static_cast<intptr_t>(word_arg(L, ARG4))));
  return 1;
}

int display_set_timer(VmState* L) {
  push_number(L, static_cast<double>(winsys::set_timer(window_arg(L, ARG1), word_arg(L, ARG2),
                                                       static_cast<uint32_t>(check_integer(L, ARG3)))));
  return 1;
}

int display_kill_timer(VmState* L) {
  push_boolean(L, winsys::kill_timer(window_arg(L, ARG1), word_arg(L, ARG2)));
  return 1;
}

int display_post_quit(VmState* L) {
  winsys::post_quit_message(opt_integer(L, ARG1, 0));
  return 0;
}

int display_message_box(VmState* L) {
  push_number(L, display::message_box(window_arg(L, ARG1), text_arg(L, ARG2), text_arg(L, ARG3),
                                      static_cast<uint32_t>(opt_integer(L, ARG4, 0))));
  return 1;
}

int display_choose_folder(VmState* L) {
  auto chosen = display::choose_folder(window_arg(L, ARG1), text_arg(L, ARG2), text_arg(L, ARG3));
  if (!chosen) return 0;
  push_lstring(L, chosen->data(), chosen->size());
  return 1;
}

const LibraryFunction DISPLAY_FUNCTIONS[] = {
    {"open", display_open},
    {"create", display_create},
    {"destroy", display_destroy},
    {"defProc", display_default_procedure},
    {"show", display_show},
    {"setTitle", display_set_title},
    {"clientSize", display_client_size},
    {"position", display_position},
    {"move", display_move},
    {"state", display_state},
    {"isReal", display_is_real},
    {"sizeLimits", display_size_limits},
    {"shadow", display_shadow},
    {"send", display_send},
    {"post", display_post},
    {"setTimer", display_set_timer},
    {"killTimer", display_kill_timer},
    {"postQuit", display_post_quit},
    {"messageBox", display_message_box},
    {"chooseDir", display_choose_folder},
    {nullptr, nullptr},
};

}  // namespace

int open_window_library(VmState* L) {
  register_library(L, "win.display", DISPLAY_FUNCTIONS);
  pop(L, 1);
  return 0;
}

}  // namespace quevro
