// A compiled function: code, constants, nested functions and debug information.
#pragma once

#include <cstdint>

#include "vm/value.h"

namespace quevro {

using Instruction = uint32_t;

struct LocalVarInfo {
  StringObject* name;
  int start_pc;  // first instruction where the local is active
  int end_pc;    // first instruction where it is dead
};

struct Prototype : GcObject {
  Value* constants;
  Instruction* code;
  Prototype** protos;
  int* line_info;  // one line per instruction, or none when stripped
  LocalVarInfo* locals;
  StringObject** upvalue_names;
  StringObject* source;
  int size_constants;
  int size_code;
  int size_protos;
  int size_line_info;
  int size_locals;
  int size_upvalue_names;
  int line_defined;
  int last_line_defined;
  uint8_t nupvalues;
  uint8_t numparams;
  uint8_t vararg_flags;
  uint8_t max_stack_size;
  uint8_t is_class;
  // Bytes of stack above the arguments that the interpreter's direct call needs, (registers +
  // parameters) * 16; the largest value for a vararg function, which always takes the general
  // call. Set when the code is put in its running form (vm/exec_form.h).
  uint32_t call_room;
};

constexpr uint8_t VARARG_ACCEPTS = 0x02;

Prototype* new_prototype(VmState* L);
void free_prototype(SharedState* g, Prototype* p);

}  // namespace quevro
