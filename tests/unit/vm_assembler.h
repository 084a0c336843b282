// A tiny in-test assembler: builds Prototype records in memory, instruction by instruction, so the
// interpreter can be tested before any compiler exists.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "vm/closure.h"
#include "vm/memory.h"
#include "vm/exec_form.h"
#include "vm/opcodes.h"
#include "vm/prototype.h"
#include "vm/state.h"
#include "vm/string.h"

namespace quevro::test {

class Assembler {
 public:
  // numparams counts the hidden owner parameter.
  Assembler(VmState* L, int numparams = 1, bool vararg = false) : L_(L), numparams_(numparams), vararg_(vararg) {}

  // Constants; the returned index is for LOADK/GETGLOBAL (Bx) or, through rk(), an RK operand.
  int k(double n) { return add_constant(make_number(n)); }
  int k(const char* s) { return add_constant(make_string(intern_string(L_, s))); }
  int k_value(const Value& v) { return add_constant(v); }
  static int rk(int constant) { return rk_constant(constant); }
  int kn(double n) { return rk(k(n)); }       // RK operand of a number constant
  int ks(const char* s) { return rk(k(s)); }  // RK operand of a string constant

  int abc(int op, int a, int b = 0, int c = 0) { return emit(make_abc(op, a, b, c)); }
  int abx(int op, int a, int bx) { return emit(make_abx(op, a, bx)); }
  int asbx(int op, int a, int sbx) { return emit(make_asbx(op, a, sbx)); }
  int word(Instruction w) { return emit(w); }
  int loadk(int a, double n) { return abx(OP_LOADK, a, k(n)); }
  int loadk(int a, const char* s) { return abx(OP_LOADK, a, k(s)); }
  int ret(int a, int count) { return abc(OP_RETURN, a, count + 1); }  // returns count values from R(a)

  int here() const { return static_cast<int>(code_.size()); }
  // A jump-like instruction (JMP, FORPREP, FORLOOP) at `at` is made to land on `target`.
  void patch(int at, int target) { set_sbx(&code_[at], target - (at + 1)); }
  int jmp_to(int target) { return asbx(OP_JMP, 0, target - (here() + 1)); }

  void line(int n) { line_ = n; }
  void local(const char* name, int start_pc, int end_pc) {
    locals_.push_back(LocalVarInfo{intern_string(L_, name), start_pc, end_pc});
  }
  void upvalue_name(const char* name) { upvalue_names_.push_back(intern_string(L_, name)); }
  int child(Prototype* p) {
    protos_.push_back(p);
    return static_cast<int>(protos_.size()) - 1;
  }

  int max_stack = 40;
  int nupvalues = 0;
  bool is_class = false;
  const char* source = "=test";

  Prototype* build() {
    Prototype* p = new_prototype(L_);
    p->constants = copy(constants_);
    p->size_constants = static_cast<int>(constants_.size());
    p->code = copy(code_);
    p->size_code = static_cast<int>(code_.size());
    p->protos = copy(protos_);
    p->size_protos = static_cast<int>(protos_.size());
    p->line_info = copy(lines_);
    p->size_line_info = static_cast<int>(lines_.size());
    p->locals = copy(locals_);
    p->size_locals = static_cast<int>(locals_.size());
    p->upvalue_names = copy(upvalue_names_);
    p->size_upvalue_names = static_cast<int>(upvalue_names_.size());
    p->source = intern_string(L_, source);
    p->line_defined = 0;
    p->last_line_defined = 0;
    p->nupvalues = static_cast<uint8_t>(nupvalues);
    p->numparams = static_cast<uint8_t>(numparams_);
    p->vararg_flags = vararg_ ? VARARG_ACCEPTS : 0;
    p->max_stack_size = static_cast<uint8_t>(max_stack);
    p->is_class = is_class ? 1 : 0;
    convert_to_exec_form(p);  // last: it reads the frame's sizes
    return p;
  }

  // A closure of a top-level prototype (no upvalues) with the global table as its environment.
  Value closure() { return make_object(new_script_closure(L_, build(), L_->globals.table())); }

 private:
  int add_constant(const Value& v) {
    constants_.push_back(v);
    return static_cast<int>(constants_.size()) - 1;
  }
  int emit(Instruction w) {
    code_.push_back(w);
    lines_.push_back(line_ ? line_ : here());
    return here() - 1;
  }
  template <class T>
  T* copy(const std::vector<T>& v) {
    if (v.empty()) return nullptr;
    auto* out = static_cast<T*>(mem_realloc(L_, nullptr, 0, sizeof(T) * v.size()));
    std::memcpy(static_cast<void*>(out), v.data(), sizeof(T) * v.size());
    return out;
  }

  VmState* L_;
  int numparams_;
  bool vararg_;
  int line_ = 0;
  std::vector<Value> constants_;
  std::vector<Instruction> code_;
  std::vector<Prototype*> protos_;
  std::vector<int> lines_;
  std::vector<LocalVarInfo> locals_;
  std::vector<StringObject*> upvalue_names_;
};

}  // namespace quevro::test
