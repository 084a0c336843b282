// Blocks of user data. A cdata without a metatable is a plain byte buffer.
#pragma once

#include "vm/value.h"

namespace quevro {

// The data bytes follow the record (8-byte aligned), then two zero bytes.
struct CdataObject : GcObject {
  TableObject* metatable;
  TableObject* env;
  uint32_t size;

  unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
  bool is_buffer() const { return metatable == nullptr; }
};
static_assert(sizeof(CdataObject) % 8 == 0, "cdata bytes stay 8-byte aligned");

inline size_t cdata_alloc_size(uint32_t size) { return sizeof(CdataObject) + size + 2; }

CdataObject* cdata_create(VmState* L, size_t size, TableObject* env);
void free_cdata(SharedState* g, CdataObject* u);

}  // namespace quevro
