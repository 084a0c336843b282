// Interned, immutable strings: narrow byte strings and wide (UTF-16LE) strings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vm/value.h"

namespace quevro {

// Encoding flags of a string.
constexpr uint8_t STR_ANSI = 0x01;  // bytes are in the locale's charset rather than UTF-8
constexpr uint8_t STR_UTF8 = 0x08;  // known to be UTF-8 text
constexpr uint8_t STR_WIDE = 0x10;  // bytes are UTF-16LE code units

// Marks kept in the reserved byte. Reserved words use their position in the word list (1 and up,
// vm/reserved_words.h).
constexpr uint8_t MARK_CONSTANT_NAME = 44;  // ','
constexpr uint8_t MARK_READONLY_NAME = 45;  // '-'

// The bytes follow the record directly, then two zero bytes, so both narrow and wide strings are
// terminated. Equal byte sequences of the same wideness share one object, so strings compare by
// identity everywhere in the runtime.
struct StringObject : GcObject {
  uint32_t length;  // in bytes, also for wide strings

  char* data() { return reinterpret_cast<char*>(this + 1); }
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }
  const char16_t* wide_data() const { return reinterpret_cast<const char16_t*>(this + 1); }
  bool is_wide() const { return (flags & STR_WIDE) != 0; }
  uint32_t units() const { return is_wide() ? length / 2 : length; }
};

// Names the native interface is handed as C text (field names, type names) and the strings they
// interned to, remembered by the text's address. An entry is used only after its string's bytes
// are found equal to the text, so a reused address can only miss. The collector empties the cache
// before it frees unreached strings.
struct NameCacheEntry {
  const char* text;
  StringObject* string;
};
constexpr int NAME_CACHE_SIZE = 64;

// The interning table: a power-of-two bucket array of chains linked through GcObject::next.
struct StringTable {
  StringObject** buckets = nullptr;
  uint32_t count = 0;
  uint32_t size = 0;
  NameCacheEntry names[NAME_CACHE_SIZE] = {};
};

constexpr uint32_t STRING_TABLE_INITIAL_SIZE = 32;

inline size_t string_alloc_size(uint32_t length) { return sizeof(StringObject) + length + 2; }

// Hash of a byte sequence: starts from the length and folds in at most 32 bytes, sampled from the
// end, so long strings hash in constant time.
inline uint32_t hash_bytes(const char* bytes, size_t len) {
  uint32_t h = static_cast<uint32_t>(len);
  size_t step = (len >> 5) + 1;
  for (size_t i = len; i >= step; i -= step)
    h ^= (h << 5) + (h >> 2) + static_cast<uint8_t>(bytes[i - 1]);
  return h;
}

StringObject* intern_string(VmState* L, const char* bytes, size_t len);
StringObject* intern_string(VmState* L, const char* text);
// Interns zero-terminated text through the name cache: for the names native code passes again
// and again.
StringObject* intern_name(VmState* L, const char* text);
void clear_name_cache(SharedState* g);
StringObject* intern_wide(VmState* L, const char16_t* units, size_t count);
// Interns the bytes as narrow or wide (len in bytes; a wide length is rounded down to whole units).
StringObject* intern_bytes(VmState* L, const char* bytes, size_t len, bool wide);

void resize_string_table(VmState* L, uint32_t new_size);
void free_string_table(SharedState* g);

inline Value make_string(StringObject* s) { return make_object(reinterpret_cast<GcObject*>(s), TAG_STRING); }

}  // namespace quevro
