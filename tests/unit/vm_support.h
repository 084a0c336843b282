// Shared helpers of the virtual machine unit tests: a fixture owning a state, protected runs of
// lambdas, and small accessors for values on the stack.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"
#include "vm/error.h"
#include "vm/state.h"
#include "vm/string.h"
#include "vm/table.h"

namespace quevro::test {

// Runs f(L) under a recovery point; returns the status. After an error the error value is on
// top of the stack.
template <class F>
int protect(VmState* L, F f) {
  auto thunk = [](VmState* state, void* ud) { (*static_cast<F*>(ud))(state); };
  return run_protected(L, thunk, &f);
}

inline std::string text_of(const Value& v) {
  if (v.tag != TAG_STRING) return "<" + std::to_string(v.tag) + ">";
  return std::string(v.string()->data(), v.string()->length);
}

inline std::string top_text(VmState* L) { return text_of(L->top[-1]); }

// The annotation the runtime wraps around errors raised by a script function of source "=test".
inline std::string annotated(int line, const std::string& message) {
  return "\n{Line}:#" + std::to_string(line) + "\n{File}:test:\n----------------------\n " + message;
}

inline bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class VmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    L = open_state();
    ASSERT_NE(L, nullptr);
    // Tests hold objects in C++ locals that the collector cannot see; it only runs where a test
    // asks for it.
    gc_control(L, GC_STOP, 0);
  }
  void TearDown() override { close_state(L); }

  Value str(const char* s) { return make_string(intern_string(L, s)); }
  Value str(const std::string& s) { return make_string(intern_string(L, s.data(), s.size())); }
  Value wstr(const std::u16string& s) { return make_string(intern_wide(L, s.data(), s.size())); }
  Value num(double n) { return make_number(n); }
  TableObject* new_tab(int narray = 0, int nhash = 0) { return table_create(L, narray, nhash); }
  Value tab(int narray = 0, int nhash = 0) { return make_object(new_tab(narray, nhash)); }

  TableObject* globals() { return L->globals.table(); }
  void set_global(const char* name, const Value& v) { *table_set_str(L, globals(), intern_string(L, name)) = v; }
  Value native(NativeFn fn) { return make_object(new_native_closure(L, fn, 0, globals())); }

  // Raw field access for checks.
  Value field(TableObject* t, const char* name) { return *table_get_str(t, intern_string(L, name)); }
  void set_field(TableObject* t, const char* name, const Value& v) { *table_set_str(L, t, intern_string(L, name)) = v; }
  Value at(TableObject* t, int64_t k) { return *table_get_int(t, k); }
  void set_at(TableObject* t, int64_t k, const Value& v) { *table_set_int(L, t, k) = v; }
  void set_meta(TableObject* t, TableObject* mt) { t->metatable = mt; }

  // Calls fn with a null owner and the given arguments under a protected call; returns the
  // status and stores the results (or the error value) in *out.
  int call_protected(const Value& fn, const std::vector<Value>& args, std::vector<Value>* out,
                     const Value* handler = nullptr) {
    ptrdiff_t handler_at = 0;
    if (handler) {
      push(L, *handler);
      handler_at = save_stack(L, L->top - 1);
    }
    ptrdiff_t func_at = save_stack(L, L->top);
    check_stack(L, static_cast<int>(args.size()) + 2);
    push(L, fn);
    push(L, make_null());
    for (const Value& a : args) push(L, a);
    int status = protected_call(L, restore_stack(L, func_at), -1, handler_at);
    out->clear();
    for (Value* p = restore_stack(L, func_at); p < L->top; ++p) out->push_back(*p);
    L->top = restore_stack(L, func_at);
    if (handler) L->top--;
    return status;
  }

  VmState* L = nullptr;
};

}  // namespace quevro::test
