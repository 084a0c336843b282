#include "vm/reserved_words.h"

#include "vm/state.h"
#include "vm/string.h"

namespace quevro {

const char* const RESERVED_WORDS[RESERVED_WORD_COUNT] = {
    "break", "continue", "else", "elseif", "false", "for",    "class",  "ctor",   "function", "lambda",
    "if",    "in",       "var",  "null",   "namespace", "import", "with", "and",  "or",       "not",
    "try",   "catch",    "\xCE\xBB", "return", "true", "do",   "select", "case",  "self",     "while",
};

const char* const PREDEFINED_CONSTANTS[PREDEFINED_CONSTANT_COUNT] = {
    "type",     "assert",   "assert2",  "assertf",        "error",   "callex",    "errput",
    "rget",     "eval",     "loadcode", "loadcodex",      "dumpcode", "collectgarbage", "call",
    "invoke",   "tostring", "topointer", "tonumber",      "sleep",   "execute",   "setlocale",
    "setprivilege", "global", "LOGFONT", "switch",       "reduce",
};

namespace {

void mark_permanent(VmState* L, const char* word, uint8_t mark) {
  StringObject* s = intern_string(L, word);
  s->reserved = mark;
  s->marked |= MARK_FIXED;
}

}  // namespace

void register_reserved_words(VmState* L) {
  for (int i = 0; i < RESERVED_WORD_COUNT; ++i) mark_permanent(L, RESERVED_WORDS[i], static_cast<uint8_t>(i + 1));
  // The lambda sign reads as `lambda` and "const" as `var`; token 279 itself is never produced.
  mark_permanent(L, "\xCE\xBB", MARK_LAMBDA);
  mark_permanent(L, "const", MARK_CONST_KEYWORD);
  for (int i = 0; i < PREDEFINED_CONSTANT_COUNT; ++i) mark_permanent(L, PREDEFINED_CONSTANTS[i], MARK_CONSTANT_NAME);
}

}  // namespace quevro
