#include "vm/string.h"

#include <cstring>

#include "vm/memory.h"
#include "vm/state.h"

namespace quevro {

namespace {

constexpr uint32_t STRING_LENGTH_LIMIT = 0xFFFFFFFFu - sizeof(StringObject) - 2;

StringObject* create_string(VmState* L, const char* bytes, size_t len, bool wide, uint32_t h) {
  SharedState* g = G(L);
  auto* s = mem_new_object<StringObject>(L, string_alloc_size(static_cast<uint32_t>(len)));
  s->tag = TAG_STRING;
  s->marked = current_white(g);
  s->reserved = 0;
  s->flags = wide ? STR_WIDE : 0;
  s->hash = h;
  s->length = static_cast<uint32_t>(len);
  if (len) std::memcpy(s->data(), bytes, len);
  s->data()[len] = '\0';
  s->data()[len + 1] = '\0';
  if (!wide && len >= 2 && len <= 255 && bytes[0] == '_') s->reserved = MARK_READONLY_NAME;

  StringTable& table = g->strings;
  uint32_t bucket = h & (table.size - 1);
  s->next = reinterpret_cast<GcObject*>(table.buckets[bucket]);
  table.buckets[bucket] = s;
  table.count++;
  if (table.count > table.size && table.size <= 0x3FFFFFFE) resize_string_table(L, table.size * 2);
  return s;
}

}  // namespace

StringObject* intern_bytes(VmState* L, const char* bytes, size_t len, bool wide) {
  if (wide) len &= ~static_cast<size_t>(1);
  if (len > STRING_LENGTH_LIMIT) block_too_big(L);
  SharedState* g = G(L);
  uint32_t h = hash_bytes(bytes, len);
  for (auto* o = reinterpret_cast<GcObject*>(g->strings.buckets[h & (g->strings.size - 1)]); o; o = o->next) {
    auto* s = static_cast<StringObject*>(o);
    if (s->length != len) continue;
    // Any empty string is the empty string; otherwise wideness must agree.
    if (len != 0 && (s->is_wide() != wide || std::memcmp(s->data(), bytes, len) != 0)) continue;
    if (is_dead(g, s)) s->marked ^= MARK_WHITES;
    return s;
  }
  return create_string(L, bytes, len, wide, h);
}

StringObject* intern_string(VmState* L, const char* bytes, size_t len) { return intern_bytes(L, bytes, len, false); }

StringObject* intern_string(VmState* L, const char* text) { return intern_bytes(L, text, std::strlen(text), false); }

StringObject* intern_name(VmState* L, const char* text) {
  NameCacheEntry& e = G(L)->strings.names[(reinterpret_cast<uintptr_t>(text) >> 3) & (NAME_CACHE_SIZE - 1)];
  if (e.text == text) {
    // The cached string came from zero-terminated text, so it holds no zero byte: the text's end
    // shows up as a difference and the comparison never reads past it.
    const StringObject* s = e.string;
    const char* d = s->data();
    uint32_t i = 0;
    while (i < s->length && text[i] == d[i]) ++i;
    if (i == s->length && text[i] == '\0') return e.string;
  }
  StringObject* s = intern_bytes(L, text, std::strlen(text), false);
  e.text = text;
  e.string = s;
  return s;
}

void clear_name_cache(SharedState* g) {
  for (NameCacheEntry& e : g->strings.names) e = NameCacheEntry{};
}

StringObject* intern_wide(VmState* L, const char16_t* units, size_t count) {
  if (count > STRING_LENGTH_LIMIT / 2) block_too_big(L);
  return intern_bytes(L, reinterpret_cast<const char*>(units), count * 2, true);
}

void resize_string_table(VmState* L, uint32_t new_size) {
  SharedState* g = G(L);
  StringTable& table = g->strings;
  auto** buckets = static_cast<StringObject**>(mem_realloc(L, nullptr, 0, sizeof(StringObject*) * new_size));
  std::memset(buckets, 0, sizeof(StringObject*) * new_size);
  for (uint32_t i = 0; i < table.size; ++i) {
    GcObject* o = reinterpret_cast<GcObject*>(table.buckets[i]);
    while (o) {
      GcObject* next = o->next;
      auto* s = static_cast<StringObject*>(o);
      uint32_t b = s->hash & (new_size - 1);
      s->next = reinterpret_cast<GcObject*>(buckets[b]);
      buckets[b] = s;
      o = next;
    }
  }
  mem_free(g, table.buckets, sizeof(StringObject*) * table.size);
  table.buckets = buckets;
  table.size = new_size;
}

void free_string_table(SharedState* g) {
  StringTable& table = g->strings;
  for (uint32_t i = 0; i < table.size; ++i) {
    GcObject* o = reinterpret_cast<GcObject*>(table.buckets[i]);
    while (o) {
      GcObject* next = o->next;
      auto* s = static_cast<StringObject*>(o);
      mem_free(g, s, string_alloc_size(s->length));
      o = next;
    }
  }
  mem_free(g, table.buckets, sizeof(StringObject*) * table.size);
  table.buckets = nullptr;
  table.size = table.count = 0;
}

}  // namespace quevro
