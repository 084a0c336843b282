#include "runtime/state_lifecycle.h"

#include <atomic>
#include <cstring>

#include "compiler/chunk_entry.h"
#include "runtime/top_level_report.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"

namespace quevro {

namespace {

std::atomic<StateCreator> g_creator{nullptr};

}  // namespace

void install_state_creator(StateCreator create) { g_creator.store(create); }

VmState* create_library_state() {
  StateCreator create = g_creator.load();
  return create ? create() : nullptr;
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
