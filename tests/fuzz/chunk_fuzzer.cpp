// Feeds arbitrary bytes to the chunk loader and runs whatever passes the verifier: nothing that
// loads may read or write outside its registers, constants or upvalues, or crash the process.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "compiler/chunk_entry.h"
#include "vm/api.h"
#include "vm/calls.h"

using namespace quevro;

namespace {

constexpr size_t MEMORY_LIMIT = 64u << 20;
constexpr int STEP_LIMIT = 20000;

struct Budget {
  size_t used = 0;
};

void* limited_alloc(void* ud, void* block, size_t old_size, size_t new_size) {
  auto* budget = static_cast<Budget*>(ud);
  if (new_size == 0) {
    std::free(block);
    budget->used -= old_size;
    return nullptr;
  }
  if (new_size > old_size && budget->used + (new_size - old_size) > MEMORY_LIMIT) return nullptr;
  void* p = std::realloc(block, new_size);
  if (p) budget->used = budget->used - old_size + new_size;
  return p;
}

// Stops code that loops: every backward jump and every new line counts.
int g_steps = 0;
void step_hook(VmState* L, int, int, int) {
  if (++g_steps > STEP_LIMIT) runtime_error(L, "step limit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || data[0] != '=') return 0;  // sources are the compiler fuzzer's job
  Budget budget;
  VmState* L = open_state(limited_alloc, &budget);
  if (L == nullptr) return 0;
  if (load_buffer(L, reinterpret_cast<const char*>(data), size, "=fuzz") == STATUS_OK) {
    g_steps = 0;
    L->hook = step_hook;
    L->hook_mask = 4;  // line events
    push_null(L);
    pcall(L, 1, 0, 0);
  }
  close_state(L);
  return 0;
}
