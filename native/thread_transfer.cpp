#include "native/thread_transfer.h"

#include <cstring>
#include <string>

#include "compiler/chunk_dumper.h"
#include "compiler/chunk_entry.h"
#include "lib/size64.h"
#include "lib/table_library.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/cdata.h"

namespace quevro {
namespace {

int append_chunk_piece(VmState*, const void* bytes, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
  return 0;
}

}  // namespace

bool load_in_target(VmState* to, const std::string& text, const char* chunk_name) {
  const char* data = text.data();
  size_t len = text.size();
  if (len >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
    data += 3;
    len -= 3;
  }
  if (load_buffer(to, data, len, chunk_name) != STATUS_OK) {
    pop(to, 1);
    return false;
  }
  return true;
}

std::string table_source(VmState* from, int idx) {
  std::string text = "return ";
  serialize_table(from, idx, false, text);
  return text;
}

bool run_table_source(VmState* to, const std::string& text, const char* chunk_name) {
  if (!load_in_target(to, text, chunk_name)) return false;
  push_null(to);  // the chunk's owner
  if (pcall(to, 1, 1, 0) != STATUS_OK || type_of(to, -1) != TAG_TABLE) {
    pop(to, 1);
    return false;
  }
  return true;
}

bool function_bytes(VmState* from, int idx, std::string* out) {
  const Prototype* p = script_prototype(from, idx);
  if (p == nullptr) return false;
  return dump_prototype(from, p, append_chunk_piece, out, false, nullptr) == 0;
}

namespace {

bool transfer_table(VmState* from, int idx, VmState* to) {
  return run_table_source(to, table_source(from, idx), "=thread->table");
}

bool transfer_function(VmState* from, int idx, VmState* to) {
  std::string bytes;
  return function_bytes(from, idx, &bytes) && load_in_target(to, bytes, "?");
}

void transfer_cdata(VmState* from, int idx, VmState* to) {
  if (is_size64(from, idx)) {
    uint64_t v = 0;
    to_size64(from, idx, &v);
    push_size64(to, v);
    return;
  }
  CdataObject* block = stack_address(from, idx)->cdata();
  void* copy = new_cdata(to, block->size);
  if (block->size != 0) std::memcpy(copy, block->data(), block->size);
}

}  // namespace

bool transfer_value(VmState* from, int idx, VmState* to) {
  if (idx < 0 && idx > GLOBALS_INDEX) idx = get_top(from) + idx + 1;
  check_stack(to, 4);
  switch (type_of(from, idx)) {
    case TAG_NULL:
      push_null(to);
      return true;
    case TAG_BOOLEAN:
      push_boolean(to, to_boolean(from, idx));
      return true;
    case TAG_POINTER: {
      void* p = stack_address(from, idx)->u.p;
      if (p == nullptr) push_null(to); else push_pointer(to, p);
      return true;
    }
    case TAG_NUMBER:
      push_number(to, to_number(from, idx));
      return true;
    case TAG_STRING: {
      size_t len = 0;
      const char* s = to_lstring(from, idx, &len);
      push_string_flags(to, s, len, string_flags(from, idx));
      return true;
    }
    case TAG_TABLE:
      return transfer_table(from, idx, to);
    case TAG_FUNCTION:
      return transfer_function(from, idx, to);
    case TAG_CDATA:
      transfer_cdata(from, idx, to);
      return true;
    default:
      return false;
  }
}

}  // namespace quevro
