#include "batch/generator_bundle.h"

#include "runtime/module_store.h"

namespace quevro::batch {

const char kGeneratorBundleName[] = "/batch/generator.js";

std::string generator_bundle() {
  const StoreEntry* entry = find_store_entry("RES", kGeneratorBundleName);
  if (entry == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(entry->data), entry->size);
}

}  // namespace quevro::batch
