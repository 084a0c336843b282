// Module objects: a shared library loaded with raw.loadDll, its exports read as members and
// declared as API function objects.
#pragma once

#include <cstdint>
#include <string>

#include "vm/state.h"

namespace quevro {

constexpr const char* RAW_LIBRARY = "raw";
constexpr const char* MODULE_TYPE = "module";
constexpr const char* FUNCTION_TYPE = "function";

struct ModuleRecord {
  void* memory_handle = nullptr;  // an image loaded from bytes
  void* system_handle = nullptr;  // a file loaded by the dynamic linker
  uint16_t flags = 0;             // default convention flags
};

// An export found by name with the suffix rules: the address, and what the name told.
struct ResolvedExport {
  void* address = nullptr;
  bool unicode = false;
  char suffix = 0;
};

ResolvedExport resolve_export(const ModuleRecord& module, const std::string& name);

// raw.loadDll(path or image, share name, convention).
int raw_load_dll(VmState* L);

// Creates the metatables of module and API function objects.
void register_module_types(VmState* L);

}  // namespace quevro
