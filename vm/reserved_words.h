// The words the lexer recognises by the mark on their interned string.
#pragma once

#include "vm/value.h"

namespace quevro {

// Token codes of the reserved words (257..286); FIRST_RESERVED - 256 is the mark of "break".
constexpr int FIRST_RESERVED = 257;
constexpr int RESERVED_WORD_COUNT = 30;
extern const char* const RESERVED_WORDS[RESERVED_WORD_COUNT];

// Global names that read as constants (mark 44) in every chunk.
constexpr int PREDEFINED_CONSTANT_COUNT = 26;
extern const char* const PREDEFINED_CONSTANTS[PREDEFINED_CONSTANT_COUNT];

// Interns the reserved words, "λ", "const" and the predefined constants with their marks, as
// permanent strings. Called once when a state is created.
void register_reserved_words(VmState* L);

}  // namespace quevro
