// A readable listing of compiled code, for tests and for `quevro -l`.
#pragma once

#include <string>

#include "vm/prototype.h"

namespace quevro {

// One instruction: "OPNAME a b c" with constants as K<n>, jump targets as "->pc" and the value of
// a named constant after "; ".
std::string disassemble_instruction(const Prototype* p, int pc);

// The whole function: a header, one line per instruction, the constants, locals and upvalues;
// nested functions follow when `nested` is set.
std::string disassemble(const Prototype* p, bool nested = true);

}  // namespace quevro
