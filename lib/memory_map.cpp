#include "lib/memory_map.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quevro {

bool memory_is_accessible(const void* address, size_t size, bool writable) {
  auto start = reinterpret_cast<uintptr_t>(address);
  if (size == 0) return true;
  if (start + size < start) return false;
  uintptr_t end = start + size;
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return false;
  // The regions come sorted by address; the range must be covered by adjacent regions that all
  // allow the access.
  uintptr_t covered = start;
  char line[512];
  bool at_line_start = true;
  while (covered < end && std::fgets(line, sizeof line, maps)) {
    // Only the start of a line holds a range; the rest of a long one (a path) is skipped.
    bool starts_line = at_line_start;
    at_line_start = std::strchr(line, '\n') != nullptr;
    if (!starts_line) continue;
    uintmax_t low, high;
    char perms[5] = {};
    if (std::sscanf(line, "%jx-%jx %4s", &low, &high, perms) != 3) continue;
    if (high <= covered) continue;
    if (low > covered) break;
    bool allowed = perms[0] == 'r' && (!writable || perms[1] == 'w');
    if (!allowed) break;
    covered = static_cast<uintptr_t>(high);
  }
  std::fclose(maps);
  return covered >= end;
}

}  // namespace quevro
