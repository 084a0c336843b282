#include "host/startup.h"

#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/chunk_entry.h"
#include "host/command_line.h"
#include "lib/base_library.h"
#include "lib/io_library.h"
#include "lib/string_library.h"
#include "lib/table_library.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"
#include "vm/metamethods.h"

namespace quevro {

namespace {

std::string& report_caption() {
  static std::string caption = "quevro";
  return caption;
}

int panic_handler(VmState* L) {
  top_level_report(L, "unprotected error", true);
  return 0;
}

void write_report(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "\n%s:\n%s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace

void set_report_caption(const std::string& caption) { report_caption() = caption; }

void open_libraries(VmState* L) {
  gc_control(L, GC_STOP, 0);
  open_base_library(L);
  open_table_library(L);
  open_io_library(L);
  open_string_library(L);
  gc_control(L, GC_RESTART, 0);
}

VmState* create_main_state() {
  VmState* L = open_state();
  if (L == nullptr) return nullptr;
  G(L)->panic = panic_handler;
  struct Opener {
    static void run(VmState* L, void*) { open_libraries(L); }
  };
  if (protected_run(L, Opener::run, nullptr) != STATUS_OK) {
    close_state(L);
    return nullptr;
  }
  return L;
}

void publish_command_line(VmState* L, const std::vector<std::string>& args) {
  ensure_stack(L, 2);
  std::string cmdline = join_command_line(args);
  TableObject* g = L->globals.table();
  push_lstring(L, cmdline.data(), cmdline.size());
  *table_set_str(L, g, intern_string(L, "_CMDLINE")) = L->top[-1];
  L->top--;
  push_argv_table(L, args);
  *table_set_str(L, g, intern_string(L, "_ARGV")) = L->top[-1];
  L->top--;
}

int exit_code_of(VmState* L, int idx) {
  double n;
  if (!to_number_value(stack_address(L, idx), &n)) return 0;
  return to_int32(n);
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

bool import_builtin(VmState* L) { return import_builtin_with_caption(L, nullptr); }

bool import_builtin_with_caption(VmState* L, const char* caption) {
  constexpr const char* code = "import builtin;";
  int status = load_buffer(L, code, std::strlen(code), code);
  if (status == STATUS_OK) {
    push_null(L);
    status = pcall(L, 1, -1, 0);
  }
  if (status == STATUS_OK) return true;
  top_level_report(L, caption, caption != nullptr);
  L->top--;
  return false;
}

int run_main_function(VmState* L) {
  ensure_stack(L, 3);
  Value* func = L->top - 1;
  ptrdiff_t func_at = save_stack(L, func);
  push_function(L, standard_error_handler);
  insert(L, -2);  // handler below the function
  ptrdiff_t handler_at = save_stack(L, L->top - 2);
  func_at = save_stack(L, L->top - 1);
  push_null(L);  // the owner
  int status = protected_call(L, restore_stack(L, func_at), 1, handler_at);
  if (status != STATUS_OK) {
    top_level_report(L, nullptr, false);
    L->top = restore_stack(L, handler_at);
    return -1;
  }
  int code = exit_code_of(L, -1);
  L->top = restore_stack(L, handler_at);
  return code;
}

void shut_down(VmState* L) {
  ensure_stack(L, 2);
  push_string(L, "__beforeUnload");
  raw_get(L, GLOBALS_INDEX);
  if (type_of(L, -1) == TAG_FUNCTION)
    call(L, 0, 0);
  else
    L->top--;
  gc_control(L, GC_COLLECT, 0);
  close_state(L);
}

}  // namespace quevro
