// Shared helpers of the compiler unit tests: compile under a protected call and inspect the result.
#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/disassembler.h"
#include "compiler/verifier.h"
#include "vm/api.h"
#include "vm/error.h"
#include "vm/exec_form.h"
#include "vm/opcodes.h"

namespace quevro::compiler_test {

struct CompileJob {
  const std::string* source;
  const char* name;
  Prototype* result;
};

void compile_body(VmState* L, void* ud) {
  auto* job = static_cast<CompileJob*>(ud);
  job->result = compile_source(L, job->source->data(), job->source->size(), job->name);
}

// Compiles source in L; returns the prototype, or null with the message in *error.
Prototype* compile_in(VmState* L, const std::string& source, std::string* error, int* status, const char* name) {
  CompileJob job{&source, name, nullptr};
  int top = get_top(L);
  int st = run_protected(L, compile_body, &job);
  if (status) *status = st;
  if (st != 0) {
    if (error) *error = L->top > L->base ? std::string(to_string(L, -1) ? to_string(L, -1) : "") : "";
    set_top(L, top);
    return nullptr;
  }
  if (error) error->clear();
  return job.result;
}

std::vector<std::string> opcode_names(const Prototype* p) {
  std::vector<std::string> out;
  for (int pc = 0; pc < p->size_code; pc++) {
    int op = get_op(original_instruction(p, pc));
    out.push_back(op < OPCODE_COUNT ? OPCODE_NAMES[op] : "?");
    if (op == OP_SETLIST && get_c(original_instruction(p, pc)) == 0) pc++;
  }
  return out;
}

std::vector<std::string> listing_lines(const Prototype* p) {
  std::vector<std::string> out;
  for (int pc = 0; pc < p->size_code; pc++) out.push_back(disassemble_instruction(p, pc));
  return out;
}

int count_op(const Prototype* p, int op) {
  int n = 0;
  for (int pc = 0; pc < p->size_code; pc++)
    if (get_op(original_instruction(p, pc)) == op) n++;
  return n;
}

}  // namespace quevro::compiler_test
