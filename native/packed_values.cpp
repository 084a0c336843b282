#include "native/packed_values.h"

#include <cstring>

#include "lib/library_support.h"
#include "native/thread_transfer.h"
#include "vm/api.h"
#include "vm/cdata.h"

namespace quevro {

bool pack_value(VmState* L, int idx, PackedValue* out) {
  *out = PackedValue{};
  Value* v = stack_address(L, idx);
  switch (v->tag) {
    case TAG_NULL:
      return true;
    case TAG_BOOLEAN:
      out->kind = PACKED_BOOLEAN;
      out->boolean = to_boolean(L, idx);
      return true;
    case TAG_POINTER:
      out->kind = v->u.p ? PACKED_POINTER : PACKED_NULL;
      out->pointer = v->u.p;
      return true;
    case TAG_NUMBER:
      out->kind = PACKED_NUMBER;
      out->number = to_number(L, idx);
      return true;
    case TAG_STRING: {
      size_t len = 0;
      const char* s = to_lstring(L, idx, &len);
      out->kind = PACKED_STRING;
      out->bytes.assign(s, len);
      out->flags = string_flags(L, idx);
      return true;
    }
    case TAG_TABLE:
      out->kind = PACKED_TABLE_TEXT;
      out->bytes = table_source(L, idx);
      return true;
    case TAG_FUNCTION:
      out->kind = PACKED_FUNCTION;
      return function_bytes(L, idx, &out->bytes);
    case TAG_CDATA:
      if (is_buffer_value(v)) {
        CdataObject* block = v->cdata();
        out->kind = PACKED_BUFFER;
        out->bytes.assign(reinterpret_cast<const char*>(block->data()), block->size);
      }
      return true;
    default:
      return false;
  }
}

bool unpack_value(VmState* L, const PackedValue& v, const char* chunk_name) {
  ensure_stack(L, 4);
  switch (v.kind) {
    case PACKED_BOOLEAN:
      push_boolean(L, v.boolean);
      return true;
    case PACKED_POINTER:
      if (v.pointer) push_pointer(L, v.pointer); else push_null(L);
      return true;
    case PACKED_NUMBER:
      push_number(L, v.number);
      return true;
    case PACKED_STRING:
      push_string_flags(L, v.bytes.data(), v.bytes.size(), v.flags);
      return true;
    case PACKED_TABLE_TEXT:
      if (run_table_source(L, v.bytes, chunk_name)) return true;
      push_fstring(L, "cannot rebuild a table in %s", chunk_name);
      return false;
    case PACKED_FUNCTION:
      if (load_in_target(L, v.bytes, "?")) return true;
      push_string(L, "cannot load a function copied from another thread");
      return false;
    case PACKED_BUFFER: {
      void* copy = new_cdata(L, v.bytes.size());
      if (!v.bytes.empty()) std::memcpy(copy, v.bytes.data(), v.bytes.size());
      return true;
    }
    default:
      push_null(L);
      return true;
  }
}

}  // namespace quevro
