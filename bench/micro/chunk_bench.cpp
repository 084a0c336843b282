// Loading a precompiled chunk against compiling its source, and the cost of a full collection
// of a large live heap.
#include <benchmark/benchmark.h>

#include <string>

#include "compiler/chunk_dumper.h"
#include "compiler/chunk_entry.h"
#include "vm/api.h"
#include "vm/collector.h"
#include "vm/state.h"

namespace quevro {
namespace {

// About 1.5 MB of functions, tables, expressions and strings.
std::string generated_source() {
  std::string s;
  for (int i = 0; s.size() < 1500000; ++i) {
    if (i % 150 == 0) s += "{\n";
    std::string n = std::to_string(i);
    s += "var function f" + n + "(a, b, c) {\n  var t = {x = a; y = b * " + n + "; name = \"item" + n +
         "\"; list = {1, 2, 3, " + n + "}};\n  if a > b && c != null { t.z = (a + b) * (c - " + n +
         ") / 3 % 7; } else { t.z = -a; }\n  for i = 1, 10 { t.x = t.x + i * 2 - b; }\n  return t.x + t.y, \"s" + n +
         "\" ++ t.name;\n}\n";
    if (i % 150 == 149) s += "}\n";
  }
  return s + "}\n";
}

int append(VmState*, const void* bytes, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
  return 0;
}

const std::string& source() {
  static const std::string text = generated_source();
  return text;
}

const std::string& chunk() {
  static const std::string bytes = [] {
    VmState* L = open_state();
    load_buffer(L, source().data(), source().size(), "=bench");
    std::string out;
    dump_prototype(L, L->top[-1].closure()->proto, append, &out, false, nullptr);
    close_state(L);
    return out;
  }();
  return bytes;
}

void BM_CompileSource(benchmark::State& state) {
  VmState* L = open_state();
  for (auto _ : state) {
    if (load_buffer(L, source().data(), source().size(), "=bench") != STATUS_OK) state.SkipWithError("compile failed");
    L->top--;
    gc_control(L, GC_COLLECT, 0);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source().size()));
  close_state(L);
}
BENCHMARK(BM_CompileSource)->Unit(benchmark::kMillisecond);

void BM_LoadPrecompiled(benchmark::State& state) {
  VmState* L = open_state();
  const std::string& bytes = chunk();
  for (auto _ : state) {
    if (load_buffer(L, bytes.data(), bytes.size(), "=bench") != STATUS_OK) state.SkipWithError("load failed");
    L->top--;
    gc_control(L, GC_COLLECT, 0);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
  close_state(L);
}
BENCHMARK(BM_LoadPrecompiled)->Unit(benchmark::kMillisecond);

// A live heap of n small tables held by one array; the benchmark times one full collection.
void BM_FullCollectionOfLiveHeap(benchmark::State& state) {
  VmState* L = open_state();
  const int n = static_cast<int>(state.range(0));
  new_table(L, n, 0);
  TableObject* holder = L->top[-1].table();
  for (int i = 1; i <= n; ++i) {
    TableObject* t = table_create(L, 2, 1);
    *table_set_int(L, t, 1) = make_number(i);
    *table_set_int(L, holder, i) = make_object(t);
  }
  for (auto _ : state) gc_control(L, GC_COLLECT, 0);
  state.counters["heap_kb"] = gc_control(L, GC_COUNT, 0);
  state.SetItemsProcessed(state.iterations() * n);
  close_state(L);
}
BENCHMARK(BM_FullCollectionOfLiveHeap)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quevro
