// Script values packed into plain memory, to be rebuilt later in another state: the values a
// thread callback copies into each thread's state, and the items of a window-call packet. A
// packed value owns its bytes and refers to no state.
#pragma once

#include <cstdint>
#include <string>

#include "vm/state.h"

namespace quevro {

// The item kinds of a window-call packet.
enum PackedKind : int32_t {
  PACKED_NULL = 0,
  PACKED_BOOLEAN = 1,
  PACKED_POINTER = 2,
  PACKED_NUMBER = 3,
  PACKED_STRING = 4,
  PACKED_TABLE_TEXT = 5,  // "return " and the table's serialised text
  PACKED_FUNCTION = 6,    // a precompiled chunk
  PACKED_BUFFER = 7,      // the bytes of a plain buffer
};

struct PackedValue {
  int32_t kind = PACKED_NULL;
  bool boolean = false;
  void* pointer = nullptr;
  double number = 0;
  std::string bytes;      // strings, table text, chunks, buffers
  uint8_t flags = 0;      // a string's encoding flags
};

// Packs the value at idx. Cdata that is not a plain buffer (a size64 object, a module) packs
// as null; false for values that cannot be packed at all (a native function, a fiber).
bool pack_value(VmState* L, int idx, PackedValue* out);

// Pushes the rebuilt value; table text runs as a chunk of that name. False (an error message
// pushed instead) when the text or chunk does not load or run.
bool unpack_value(VmState* L, const PackedValue& v, const char* chunk_name);

}  // namespace quevro
