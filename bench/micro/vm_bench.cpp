// Micro-benchmarks of the virtual machine's data layer and interpreter loop.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "../../tests/unit/vm_assembler.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/state.h"
#include "vm/string.h"
#include "vm/table.h"

namespace quevro {
namespace {

// One state per benchmark run; the objects a benchmark uses stay reachable from the stack.
class State {
 public:
  State() : L(open_state()) {}
  ~State() { close_state(L); }
  VmState* L;
};

TableObject* push_table(VmState* L, int narray, int nhash) {
  new_table(L, narray, nhash);
  return L->top[-1].table();
}

void BM_TableSetIntArray(benchmark::State& state) {
  State s;
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    TableObject* t = push_table(s.L, 0, 0);
    for (int k = 1; k <= n; ++k) *table_set_int(s.L, t, k) = make_number(k);
    benchmark::DoNotOptimize(t->array_size);
    pop(s.L, 1);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TableSetIntArray)->Arg(1000);

void BM_TableGetIntArray(benchmark::State& state) {
  State s;
  const int n = static_cast<int>(state.range(0));
  TableObject* t = push_table(s.L, 0, 0);
  for (int k = 1; k <= n; ++k) *table_set_int(s.L, t, k) = make_number(k);
  for (auto _ : state) {
    double sum = 0;
    for (int k = 1; k <= n; ++k) sum += table_get_int(t, k)->u.n;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TableGetIntArray)->Arg(1000);

void BM_TableGetIntHash(benchmark::State& state) {
  State s;
  const int n = static_cast<int>(state.range(0));
  TableObject* t = push_table(s.L, 0, 0);
  for (int k = 1; k <= n; ++k) *table_set_int(s.L, t, k * 1000003LL) = make_number(k);  // sparse: hash part
  for (auto _ : state) {
    double sum = 0;
    for (int k = 1; k <= n; ++k) sum += table_get_int(t, k * 1000003LL)->u.n;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TableGetIntHash)->Arg(1000);

std::vector<StringObject*> make_keys(VmState* L, TableObject* anchor, int n) {
  std::vector<StringObject*> keys;
  for (int i = 0; i < n; ++i) {
    std::string name = "field_name_" + std::to_string(i);
    StringObject* key = intern_string(L, name.data(), name.size());
    *table_set_str(L, anchor, key) = make_boolean(1);  // keeps the key reachable
    keys.push_back(key);
  }
  return keys;
}

void BM_TableSetStr(benchmark::State& state) {
  State s;
  const int n = static_cast<int>(state.range(0));
  TableObject* anchor = push_table(s.L, 0, n);
  std::vector<StringObject*> keys = make_keys(s.L, anchor, n);
  for (auto _ : state) {
    TableObject* t = push_table(s.L, 0, 0);
    for (int i = 0; i < n; ++i) *table_set_str(s.L, t, keys[i]) = make_number(i);
    pop(s.L, 1);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TableSetStr)->Arg(64);

void BM_TableGetStr(benchmark::State& state) {
  State s;
  const int n = static_cast<int>(state.range(0));
  TableObject* anchor = push_table(s.L, 0, n);
  std::vector<StringObject*> keys = make_keys(s.L, anchor, n);
  TableObject* t = push_table(s.L, 0, 0);
  for (int i = 0; i < n; ++i) *table_set_str(s.L, t, keys[i]) = make_number(i);
  for (auto _ : state) {
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += table_get_str(t, keys[i])->u.n;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TableGetStr)->Arg(64);

void BM_InternExisting(benchmark::State& state) {
  State s;
  TableObject* anchor = push_table(s.L, 0, 256);
  std::vector<std::string> texts;
  for (int i = 0; i < 256; ++i) texts.push_back("existing_string_" + std::to_string(i));
  for (const std::string& text : texts) *table_set_str(s.L, anchor, intern_string(s.L, text.data(), text.size())) = make_boolean(1);
  for (auto _ : state) {
    for (const std::string& text : texts) benchmark::DoNotOptimize(intern_string(s.L, text.data(), text.size()));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}
BENCHMARK(BM_InternExisting);

void BM_InternNew(benchmark::State& state) {
  State s;
  uint64_t counter = 0;
  char buffer[32];
  for (auto _ : state) {
    // Fresh 16-byte texts; unreferenced strings are left to the collector.
    uint64_t v = counter++;
    for (int i = 0; i < 16; ++i) {
      buffer[i] = static_cast<char>('a' + (v & 15));
      v >>= 4;
    }
    benchmark::DoNotOptimize(intern_string(s.L, buffer, 16));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternNew);

void BM_BorderArray(benchmark::State& state) {
  State s;
  const int n = static_cast<int>(state.range(0));
  TableObject* t = push_table(s.L, 0, 0);
  for (int k = 1; k <= n; ++k) *table_set_int(s.L, t, k) = make_number(k);  // array part of a power of two
  for (auto _ : state) benchmark::DoNotOptimize(table_border(t));
}
BENCHMARK(BM_BorderArray)->Arg(1000)->Arg(1 << 16);

void BM_BorderHash(benchmark::State& state) {
  State s;
  const int n = static_cast<int>(state.range(0));
  TableObject* t = push_table(s.L, 0, n);  // keys 1..n stay in the hash part: unbound search
  for (int k = 1; k <= n; ++k) *table_set_int(s.L, t, k) = make_number(k);
  for (auto _ : state) benchmark::DoNotOptimize(table_border(t));
}
BENCHMARK(BM_BorderHash)->Arg(1000);

// for i = 1, n { sum = sum + i * 2 } through the interpreter loop.
void BM_InterpreterForLoop(benchmark::State& state) {
  State s;
  VmState* L = s.L;
  const double n = static_cast<double>(state.range(0));
  test::Assembler a(L, 1);
  a.loadk(0, 0.0);
  a.loadk(1, 1.0);
  a.loadk(2, n);
  a.loadk(3, 1.0);
  int prep = a.asbx(OP_FORPREP, 1, 0);
  int body = a.abc(OP_MUL, 5, 4, a.kn(2));
  a.abc(OP_ADD, 0, 0, 5);
  int loop = a.asbx(OP_FORLOOP, 1, 0);
  a.patch(prep, loop);
  a.patch(loop, body);
  a.ret(0, 1);
  push(L, a.closure());
  for (auto _ : state) {
    push_value(L, 1);
    push_null(L);
    call(L, 1, 1);
    benchmark::DoNotOptimize(L->top[-1].u.n);
    pop(L, 1);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InterpreterForLoop)->Arg(1000000);

}  // namespace
}  // namespace quevro
