#include "vm/namespace.h"

#include <string>

#include "vm/error.h"
#include "vm/table.h"

namespace quevro {

constexpr int NAMESPACE_HASH_HINT = 10;

TableObject* enter_namespace_path(VmState* L, TableObject* start, const char* path, size_t len) {
  TableObject* t = start;
  size_t at = 0;
  if (len > 0 && path[0] == '.') {
    t = L->globals.table();
    at = 1;
  }
  while (at < len) {
    size_t end = at;
    while (end < len && path[end] != '.') ++end;
    StringObject* name = intern_string(L, path + at, end - at);
    const Value* v = table_get_str(t, name);
    if (v->tag == TAG_TABLE) {
      t = v->table();
    } else if (v->tag == TAG_FUNCTION && v->closure()->is_class) {
      t = v->closure()->env;
    } else if (v->is_null()) {
      TableObject* fresh = table_create(L, 0, NAMESPACE_HASH_HINT);
      *table_set_str(L, t, name) = make_object(fresh);
      t = fresh;
    } else {
      runtime_error(L, "name conflict for namespace '%s'", std::string(path + at, len - at).c_str());
    }
    at = end + 1;
  }
  return t;
}

}  // namespace quevro
