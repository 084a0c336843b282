// What the runtime can say about running code: the name and kind of the variable a register was
// loaded from, the name a function was called by, and the position prefix of library errors.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

struct VariableDescription {
  const char* kind = nullptr;  // "variable(local)", "global(namespace)", ...; null when unknown
  std::string name;
};

// Describes register `reg` of prototype p as it stands before instruction `pc`, by finding the
// instruction that last loaded it.
VariableDescription describe_register(const Prototype* p, int pc, int reg);
// Describes the value at v when it is a register of the running script frame.
VariableDescription describe_value(VmState* L, const Value* v);

// Name of the n-th local (1-based) active at instruction pc, or null.
const StringObject* local_name(const Prototype* p, int n, int pc);

// Index of the instruction a script frame is executing.
int current_pc(VmState* L, CallFrame* frame);

// How the function running in `frame` was named by its caller's call instruction (CALL, TAILCALL
// or the generic for's call); no kind and an empty name when unknown.
VariableDescription called_description(VmState* L, CallFrame* frame);
// The name part of called_description.
inline std::string called_name(VmState* L, CallFrame* frame) { return called_description(L, frame).name; }

// "\n{File}:%s\n{Line}:#%d\n{Error}:" for the function at the given level (0 = running, 1 = its
// caller); empty when that level has no line.
std::string where(VmState* L, int level);

}  // namespace quevro
