// Source text to prototypes: the entry point of the lexer, parser and code generator.
#pragma once

#include <cstddef>

#include "vm/state.h"

namespace quevro {

// Compiles a whole source chunk into the prototype of its main function. chunk_name is the source
// name stored in the prototypes ("@file.quevro", "=name", or the source text itself). Errors are
// raised as syntax errors (status 3) with the message on top of the stack.
Prototype* compile_source(VmState* L, const char* text, size_t len, const char* chunk_name);

}  // namespace quevro
