// The words the lexer recognises by the mark on their interned string.
#pragma once

#include <cstdint>
#include <iterator>

#include "vm/string.h"
#include "vm/value.h"

namespace quevro {

// X(word, text). A word's position in this list (from 1) is the mark its interned string carries,
// and its token code is FIRST_RESERVED - 1 + that mark, so a word is added at one place only.
// LAMBDA_SIGN holds its position although its text is marked as an alias (below), so that code is
// never produced.
#define QUEVRO_RESERVED_WORDS(X) \
  X(BREAK, "break")              \
  X(CONTINUE, "continue")        \
  X(ELSE, "else")                \
  X(ELSEIF, "elseif")            \
  X(FALSE, "false")              \
  X(FOR, "for")                  \
  X(CLASS, "class")              \
  X(CTOR, "ctor")                \
  X(FUNCTION, "function")        \
  X(LAMBDA, "lambda")            \
  X(IF, "if")                    \
  X(IN, "in")                    \
  X(VAR, "var")                  \
  X(NULL, "null")                \
  X(NAMESPACE, "namespace")      \
  X(IMPORT, "import")            \
  X(WITH, "with")                \
  X(AND, "and")                  \
  X(OR, "or")                    \
  X(NOT, "not")                  \
  X(TRY, "try")                  \
  X(CATCH, "catch")              \
  X(LAMBDA_SIGN, "\xCE\xBB")     \
  X(RETURN, "return")            \
  X(TRUE, "true")                \
  X(DO, "do")                    \
  X(SELECT, "select")            \
  X(CASE, "case")                \
  X(SELF, "self")                \
  X(WHILE, "while")

// Texts that read as another word: X(text, word). They are marked after the words, so the lambda
// sign's own mark is replaced by that of `lambda`.
#define QUEVRO_WORD_ALIASES(X) \
  X("\xCE\xBB", LAMBDA)        \
  X("const", VAR)

// The marks: WORD_BREAK is 1, and so on in list order.
enum ReservedWord : uint8_t {
  WORD_NONE = 0,
#define QUEVRO_WORD_ENUM(word, text) WORD_##word,
  QUEVRO_RESERVED_WORDS(QUEVRO_WORD_ENUM)
#undef QUEVRO_WORD_ENUM
};

#define QUEVRO_WORD_ONE(word, text) +1
constexpr int RESERVED_WORD_COUNT = 0 QUEVRO_RESERVED_WORDS(QUEVRO_WORD_ONE);
#undef QUEVRO_WORD_ONE
static_assert(RESERVED_WORD_COUNT < MARK_CONSTANT_NAME && RESERVED_WORD_COUNT < MARK_READONLY_NAME,
              "word marks must stay below the marks of constant and read-only names");

// RESERVED_WORDS[mark - 1] is the text of a word.
inline constexpr const char* RESERVED_WORDS[RESERVED_WORD_COUNT] = {
#define QUEVRO_WORD_TEXT(word, text) text,
    QUEVRO_RESERVED_WORDS(QUEVRO_WORD_TEXT)
#undef QUEVRO_WORD_TEXT
};

// Token codes of the reserved words follow the single characters.
constexpr int FIRST_RESERVED = 257;
constexpr bool is_word_mark(int mark) { return mark >= 1 && mark <= RESERVED_WORD_COUNT; }
constexpr int word_token(int mark) { return FIRST_RESERVED - 1 + mark; }
constexpr bool is_word_token(int code) { return code >= FIRST_RESERVED && code < FIRST_RESERVED + RESERVED_WORD_COUNT; }
inline const char* word_text(int code) { return RESERVED_WORDS[code - FIRST_RESERVED]; }

// Global names that read as constants (mark MARK_CONSTANT_NAME) in every chunk.
inline constexpr const char* PREDEFINED_CONSTANTS[] = {
    "type",     "assert",   "assert2",  "assertf",        "error",   "callex",    "errput",
    "rget",     "eval",     "loadcode", "loadcodex",      "dumpcode", "collectgarbage", "call",
    "invoke",   "tostring", "topointer", "tonumber",      "sleep",   "execute",   "setlocale",
    "setprivilege", "global", "LOGFONT", "switch",       "reduce",
};
constexpr int PREDEFINED_CONSTANT_COUNT = static_cast<int>(std::size(PREDEFINED_CONSTANTS));

// Interns the reserved words, their aliases and the predefined constants with their marks, as
// permanent strings. Called once when a state is created.
void register_reserved_words(VmState* L);

}  // namespace quevro
