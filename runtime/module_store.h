// The embedded store: modules ("LIB", precompiled chunks) and files ("RES") linked into the
// executable, looked up by name without regard to case.
#pragma once

#include <cstddef>
#include <string>

namespace quevro {

struct StoreEntry {
  const char* type;  // "LIB" or "RES"
  const char* name;  // upper case: "BUILTIN.MAIN", "/WEB/INDEX.HTML"
  const unsigned char* data;
  size_t size;
};

// Each executable installs the store generated for it at start-up; without one, nothing is found.
void install_module_store(const StoreEntry* entries, size_t count);

// The entry of that type and name (compared without case), or null.
const StoreEntry* find_store_entry(const char* type, const std::string& name);

}  // namespace quevro
