#include "compiler/compiler.h"

#include <cassert>
#include <cstring>

#include "compiler/lexer.h"
#include "compiler/parser.h"
#include "compiler/verifier.h"
#include "vm/string.h"

namespace quevro {

Prototype* compile_source(VmState* L, const char* text, size_t len, const char* chunk_name) {
  ensure_stack(L, 1);
  StringObject* source = intern_string(L, chunk_name ? chunk_name : "?");
  // The source name stays anchored on the stack until every prototype refers to it.
  *L->top++ = make_string(source);
  Lexer ls(L, text, len, source);
  Parser parser(ls);
  Prototype* p = parser.compile_main();
  L->top--;
  assert(verify_prototype_tree(p) && "the compiler emitted code the verifier rejects");
  return p;
}

}  // namespace quevro
