#include "host/startup.h"

#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "com/com_library.h"
#include "compiler/chunk_entry.h"
#include "compiler/lexer.h"
#include "host/command_line.h"
#include "runtime/app_paths.h"
#include "runtime/library_registry.h"
#include "runtime/state_lifecycle.h"
#include "runtime/top_level_report.h"
#include "lib/base_library.h"
#include "lib/debug_library.h"
#include "lib/io_library.h"
#include "lib/math_library.h"
#include "lib/string_library.h"
#include "lib/table_library.h"
#include "lib/time_library.h"
#include "native/raw_library.h"
#include "native/thread_library.h"
#include "native/window_library.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"
#include "vm/metamethods.h"

namespace quevro {

namespace {

std::string resolve_include_against_application(const std::string& path) { return resolve_app_path(path); }

}  // namespace

void open_libraries(VmState* L) {
  gc_control(L, GC_STOP, 0);
  open_base_library(L);
  open_table_library(L);
  open_io_library(L);
  open_string_library(L);
  open_math_library(L);
  open_time_library(L);
  open_raw_library(L);
  open_thread_library(L);
  com::open_com_library(L);
  // Libraries opened by their first import.
  register_preloader(L, "(debug)", open_debug_library);
  register_preloader(L, "(win.display)", open_window_library);
  gc_control(L, GC_RESTART, 0);
}

VmState* create_main_state() {
  // Callback and thread states are made the same way as the first one.
  install_state_creator(create_main_state);
  set_include_path_resolver(resolve_include_against_application);
  VmState* L = open_state();
  if (L == nullptr) return nullptr;
  G(L)->panic = report_unprotected_error;
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
  push_lstring(L, cmdline.data(), cmdline.size());
  raw_set_field(L, GLOBALS_INDEX, "_CMDLINE");
  push_argv_table(L, args);
  raw_set_field(L, GLOBALS_INDEX, "_ARGV");
}

int exit_code_of(VmState* L, int idx) {
  double n;
  if (!to_number_value(stack_address(L, idx), &n)) return 0;
  return to_int32(n);
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

}  // namespace quevro
