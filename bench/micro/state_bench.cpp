// The cost of a new state as threads and callbacks make it: the libraries opened and
// "import builtin;" run from the embedded store. Every thread pays it, so it must stay small.
#include <benchmark/benchmark.h>

#include "host/startup.h"
#include "runtime/module_store.h"
#include "runtime/state_lifecycle.h"
#include "vm/api.h"

namespace quevro {
extern const StoreEntry RUNNER_STORE[];
extern const size_t RUNNER_STORE_count;

namespace {

void BM_StateWithBuiltin(benchmark::State& state) {
  install_module_store(RUNNER_STORE, RUNNER_STORE_count);
  for (auto _ : state) {
    VmState* L = create_main_state();
    if (L == nullptr || !import_builtin(L)) {
      state.SkipWithError("import builtin failed");
      break;
    }
    close_state(L);
  }
}
BENCHMARK(BM_StateWithBuiltin)->Unit(benchmark::kMicrosecond);

void BM_StateWithoutBuiltin(benchmark::State& state) {
  for (auto _ : state) {
    VmState* L = create_main_state();
    close_state(L);
  }
}
BENCHMARK(BM_StateWithoutBuiltin)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quevro
