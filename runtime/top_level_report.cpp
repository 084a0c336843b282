#include "runtime/top_level_report.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/display_windows.h"

#include "vm/api.h"
#include "vm/calls.h"

namespace quevro {

namespace {

std::string& report_caption() {
  static std::string caption = "quevro";
  return caption;
}

bool& report_in_dialog() {
  static bool dialog = false;
  return dialog;
}

void write_report(const std::string& caption, const std::string& text) {
  // A desktop application started from a menu has nobody reading its standard error.
  constexpr uint32_t MB_ICONERROR = 0x10;
  if (report_in_dialog() && !isatty(STDERR_FILENO) && display::open() && display::on_display_thread()) {
    display::message_box(nullptr, text, caption, MB_ICONERROR);
    return;
  }
  std::fprintf(stderr, "\n%s:\n%s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace

void set_report_caption(const std::string& caption) { report_caption() = caption; }

void set_report_dialog(bool dialog) { report_in_dialog() = dialog; }

int report_unprotected_error(VmState* L) {
  top_level_report(L, "unprotected error", true);
  return 0;
}

void top_level_report(VmState* L, const char* caption, bool call_on_error) {
  if (!is_string(L, -1)) return;
  std::string title = caption ? caption : report_caption();
  size_t len;
  const char* msg = to_lstring(L, -1, &len);
  std::string text(msg, len);
  ensure_stack(L, 6);
  push_string(L, "POPERROR");
  raw_get(L, REGISTRY_INDEX);
  bool first_report = type_of(L, -1) == TAG_NULL;
  L->top--;
  push_string(L, "POPERROR");
  push_lstring(L, text.data(), text.size());
  raw_set(L, REGISTRY_INDEX);
  if (call_on_error) {
    push_string(L, "onError");
    raw_get(L, GLOBALS_INDEX);
    if (type_of(L, -1) == TAG_FUNCTION) {
      push_null(L);
      push_lstring(L, text.data(), text.size());
      push_boolean(L, true);
      if (pcall(L, 3, 1, 0) != STATUS_OK) {
        size_t n;
        const char* e = to_lstring(L, -1, &n);
        if (e) text.append(e, n);
      } else if (is_string(L, -1)) {
        size_t n;
        const char* e = to_lstring(L, -1, &n);
        text.assign(e, n);
      } else {
        L->top--;
        return;
      }
    }
    L->top--;
  }
  // Without a window system the report goes to standard error, the first as the later ones.
  (void)first_report;
  write_report(title, text);
}

}  // namespace quevro
