// Costs of the thread library: a fresh state made ready the way every thread's state is (all
// libraries, "import builtin;"), a thread started and waited for, and a 10,000-entry table
// carried to the shared state and back.
#include <benchmark/benchmark.h>

#include <cstring>

#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "runtime/module_store.h"
#include "runtime/state_lifecycle.h"
#include "vm/api.h"
#include "vm/calls.h"

namespace quevro {

extern const StoreEntry RUNNER_STORE[];
extern const size_t RUNNER_STORE_count;

namespace {

// A state as the runner makes it, with the runner's embedded modules.
VmState* runner_state() {
  install_module_store(RUNNER_STORE, RUNNER_STORE_count);
  VmState* L = create_main_state();
  if (L != nullptr && !import_builtin(L)) {
    close_state(L);
    return nullptr;
  }
  return L;
}

// Compiles source into a function kept at stack slot 1.
bool prepare(VmState* L, const char* source) {
  return load_buffer(L, source, std::strlen(source), "=bench") == STATUS_OK;
}

bool run_prepared(VmState* L) {
  push_value(L, 1);
  push_null(L);
  bool ok = pcall(L, 1, 0, 0) == STATUS_OK;
  if (!ok) set_top(L, 1);
  return ok;
}

void BM_FreshStateWithBuiltin(benchmark::State& state) {
  install_module_store(RUNNER_STORE, RUNNER_STORE_count);
  for (auto _ : state) {
    VmState* L = create_main_state();
    if (L == nullptr || !import_builtin(L)) {
      state.SkipWithError("state not made");
      break;
    }
    close_state(L);
  }
}
BENCHMARK(BM_FreshStateWithBuiltin)->Unit(benchmark::kMicrosecond);

// The same without "import builtin;": what the embedded modules add to every new state.
void BM_FreshStateWithoutBuiltin(benchmark::State& state) {
  for (auto _ : state) {
    VmState* L = create_main_state();
    close_state(L);
  }
}
BENCHMARK(BM_FreshStateWithoutBuiltin)->Unit(benchmark::kMicrosecond);

// Times the script source, run once per iteration in a runner state.
void time_script(benchmark::State& state, const char* source) {
  VmState* L = runner_state();
  if (L == nullptr || !prepare(L, source)) {
    state.SkipWithError("set-up failed");
    if (L != nullptr) close_state(L);
    return;
  }
  for (auto _ : state) {
    if (!run_prepared(L)) {
      state.SkipWithError(to_string(L, -1));
      break;
    }
  }
  close_state(L);
}

void BM_ThreadStartToJoin(benchmark::State& state) {
  time_script(state,
              "var h = thread.create(function(x) { return x }, 1)\n"
              "__waitForMultipleObjects(null, true, {h})\n"
              "raw.closehandle(h)");
}
BENCHMARK(BM_ThreadStartToJoin)->Unit(benchmark::kMicrosecond);

// The table is made once; each iteration copies it into the shared state and back.
void BM_SharedTableRoundTrip(benchmark::State& state) {
  time_script(state,
              "if bench_table == null { bench_table = {}; for i = 1, 10000 { bench_table[i] = i * 0.5 } }\n"
              "thread.set(\"bench table\", bench_table)\n"
              "var back = thread.get(\"bench table\")\n"
              "if #back != 10000 { error(\"lost entries\") }");
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_SharedTableRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quevro
