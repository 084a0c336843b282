#include "runtime/module_store.h"

#include <strings.h>

namespace quevro {

namespace {

const StoreEntry* g_entries = nullptr;
size_t g_count = 0;

}  // namespace

void install_module_store(const StoreEntry* entries, size_t count) {
  g_entries = entries;
  g_count = count;
}

const StoreEntry* find_store_entry(const char* type, const std::string& name) {
  for (size_t i = 0; i < g_count; ++i) {
    const StoreEntry& e = g_entries[i];
    if (strcasecmp(e.type, type) == 0 && strcasecmp(e.name, name.c_str()) == 0) return &e;
  }
  return nullptr;
}

}  // namespace quevro
