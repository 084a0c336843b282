// The automation bridge's two directions: a host calling a script function through
// IDispatch::Invoke (the way a web page's calls reach `external`), and a script calling a
// component's method. Each benchmark makes one million calls; "per_call" is the time of one.
#include <benchmark/benchmark.h>

#include <string>

#include "com/class_registry.h"
#include "com/script_object.h"
#include "com_bench_object.h"
#include "compiler/chunk_entry.h"
#include "host/startup.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/state.h"

namespace quevro {
namespace {

using namespace quevro::com;

constexpr int64_t CALLS = 1000000;
constexpr CLSID ADDING_CLSID = {0x3C5D7E9F, 0x1A2B, 0x4C6D, {0x8E, 0x0F, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB}};

bool run_code(VmState* L, const std::string& code, int results) {
  if (load_buffer(L, code.data(), code.size(), "=bench") != 0) return false;
  return pcall(L, 0, results, 0) == 0;
}

void BM_HostInvokesScriptFunction(benchmark::State& state) {
  VmState* L = create_main_state();
  if (!L || !run_code(L, "return {add = function(a, b) { return a + b }}", 1)) {
    state.SkipWithError("no state");
    return;
  }
  IDispatch* object = expose_script_value(L, -1);
  pop(L, 1);
  LPOLESTR names[1] = {const_cast<LPOLESTR>(u"add")};
  DISPID add;
  object->GetIDsOfNames(IID_NULL, names, 1, 0, &add);
  VARIANT args[2];
  args[0].vt = VT_I4;  // b
  args[0].lVal = 2;
  args[1].vt = VT_R8;  // a
  args[1].dblVal = 0.5;
  DISPPARAMS params{args, nullptr, 2, 0};
  double sum = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < CALLS; ++i) {
      VARIANT result;
      object->Invoke(add, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
      sum += result.dblVal;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.counters["per_call"] = benchmark::Counter(static_cast<double>(state.iterations() * CALLS),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  object->Release();
  close_state(L);
}
BENCHMARK(BM_HostInvokesScriptFunction)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ScriptCallsComponentMethod(benchmark::State& state) {
  register_class(ADDING_CLSID, "Quevro.Bench.Adding.1", "Quevro.Bench.Adding",
                 [](REFIID iid, void** object) {
                   auto* made = new bench::AddingObject();
                   HRESULT hr = made->QueryInterface(iid, object);
                   made->Release();
                   return hr;
                 });
  VmState* L = create_main_state();
  std::string code = "var o = com.CreateObject('Quevro.Bench.Adding'); var s = 0; "
                     "for i = 1, " + std::to_string(CALLS) + " { s = o.Add(s, 1) } return s";
  for (auto _ : state) {
    if (!L || !run_code(L, code, 1) || to_number(L, -1) != static_cast<double>(CALLS)) {
      state.SkipWithError("the script failed");
      break;
    }
    pop(L, 1);
  }
  state.counters["per_call"] = benchmark::Counter(static_cast<double>(state.iterations() * CALLS),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (L) close_state(L);
  unregister_class(ADDING_CLSID);
}
BENCHMARK(BM_ScriptCallsComponentMethod)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quevro
