// Running script code in a unit's state and reading its results as one text.
#pragma once

#include <string>

#include "compiler/chunk_entry.h"
#include "vm/api.h"
#include "vm/calls.h"

namespace quevro::test {

// Runs the code; its results joined by "|", or "error: " and the message.
inline std::string run_script(VmState* L, const std::string& code) {
  int base = get_top(L);
  int status = load_buffer(L, code.data(), code.size(), "=test");
  if (status == 0) status = pcall(L, 0, -1, 0);
  std::string out;
  if (status != 0) {
    out = "error: " + std::string(to_string(L, -1) ? to_string(L, -1) : "?");
  } else {
    for (int i = base + 1; i <= get_top(L); ++i) {
      if (i > base + 1) out += "|";
      const char* text = to_string(L, i);
      if (type_of(L, i) == TAG_BOOLEAN) text = to_boolean(L, i) ? "true" : "false";
      out += text ? text : type_name(L, i);
    }
  }
  set_top(L, base);
  return out;
}

}  // namespace quevro::test
