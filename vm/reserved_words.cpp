#include "vm/reserved_words.h"

#include "vm/state.h"
#include "vm/string.h"

namespace quevro {

namespace {

void mark_permanent(VmState* L, const char* word, uint8_t mark) {
  StringObject* s = intern_string(L, word);
  s->reserved = mark;
  s->marked |= MARK_FIXED;
}

}  // namespace

void register_reserved_words(VmState* L) {
  for (int mark = 1; mark <= RESERVED_WORD_COUNT; ++mark)
    mark_permanent(L, RESERVED_WORDS[mark - 1], static_cast<uint8_t>(mark));
#define QUEVRO_MARK_ALIAS(text, word) mark_permanent(L, text, WORD_##word);
  QUEVRO_WORD_ALIASES(QUEVRO_MARK_ALIAS)
#undef QUEVRO_MARK_ALIAS
  for (const char* name : PREDEFINED_CONSTANTS) mark_permanent(L, name, MARK_CONSTANT_NAME);
}

}  // namespace quevro
