#include "runtime/modules.h"

#include <cstring>
#include <string>

#include "compiler/chunk_entry.h"
#include "runtime/app_paths.h"
#include "runtime/library_registry.h"
#include "runtime/module_store.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/calls.h"
#include "vm/cdata.h"
#include "vm/metamethods.h"

namespace quevro {

namespace {

constexpr int ARG_NAME = 2;

// The value `_loaded_libs` holds for a module whose chunk is running: unique in the process.
char loading_marker_storage;
void* loading_marker() { return &loading_marker_storage; }

bool is_namespace(const Value* v) { return v->tag == TAG_TABLE || (v->tag == TAG_FUNCTION && v->closure()->is_class); }
TableObject* namespace_table(const Value* v) { return v->tag == TAG_TABLE ? v->table() : v->closure()->env; }

const Value* raw_field(VmState* L, TableObject* t, const std::string& key) {
  return table_get_str(t, intern_string(L, key.data(), key.size()));
}

void set_raw_field(VmState* L, TableObject* t, const std::string& key, const Value& v) {
  ensure_stack(L, 3);
  push(L, make_object(t));
  push(L, make_string(intern_string(L, key.data(), key.size())));
  push(L, v);
  raw_set(L, -3);
  pop(L, 1);
}

TableObject* loaded_libs(VmState* L) {
  push_loaded_libs(L);
  TableObject* t = L->top[-1].table();
  L->top--;
  return t;
}

// The parent table of a dotted name, walking (and creating) components from the global table;
// null when create is false and a component is missing.
TableObject* dotted_parent(VmState* L, const std::string& name, bool create, const std::string& shown) {
  TableObject* t = L->globals.table();
  size_t at = 0;
  for (;;) {
    size_t dot = name.find('.', at);
    if (dot == std::string::npos) return t;
    std::string part = name.substr(at, dot - at);
    const Value* v = raw_field(L, t, part);
    if (v->is_null()) {
      if (!create) return nullptr;
      TableObject* fresh = table_create(L, 0, 0);
      set_raw_field(L, t, part, make_object(fresh));
      t = fresh;
    } else if (is_namespace(v)) {
      t = namespace_table(v);
    } else {
      if (!create) return nullptr;
      library_error(L, "Namespace Conflict( %s )", shown.c_str());
    }
    at = dot + 1;
  }
}

std::string last_component(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(dot + 1);
}

std::string first_component(const std::string& name) { return name.substr(0, name.find('.')); }

// The namespace a module defines, when its dotted path from the global table leads to one.
bool namespace_exists(VmState* L, const std::string& name, Value* out) {
  TableObject* parent = dotted_parent(L, name, false, name);
  if (!parent) return false;
  const Value* v = raw_field(L, parent, last_component(name));
  if (!is_namespace(v)) return false;
  *out = *v;
  return true;
}

void make_globals_visible(VmState* L, const Value* owner) {
  TableObject* globals = L->globals.table();
  TableObject* target = namespace_table(owner);
  TableObject* mt = target->metatable;
  StringObject* get_key = G(L)->event_names[EVENT_GET];
  if (mt) {
    const Value* h = table_get_str(mt, get_key);
    if (h->tag == TAG_TABLE && h->table() == globals) return;
    if (!h->is_null())
      library_error(L, "The _get metamethod of the current namespace is already set and can't be changed to the global object.");
  }
  ensure_stack(L, 4);
  push(L, make_object(target));
  if (mt) {
    push(L, make_object(mt));
  } else {
    new_table(L, 0, 1);
    push_value(L, -1);
    set_metatable(L, -3);
  }
  push(L, make_string(get_key));
  push(L, L->globals);
  raw_set(L, -3);
  pop(L, 2);
}

// A native library opened on demand is entered as the preloader "(name)": the parentheses keep it
// apart from module names, so `import name` uses it only when nothing is recorded under the name
// itself. Null when there is no such preloader.
Value native_preloader(VmState* L, TableObject* loaded, const std::string& name) {
  Value v = *raw_field(L, loaded, "(" + name + ")");
  return v.tag == TAG_FUNCTION && !v.closure()->is_class ? v : make_null();
}

// Runs the module chunk below its argument on the stack, with a null owner.
int run_module_chunk(VmState* L) {
  ensure_stack(L, 1);
  push_null(L);
  insert(L, -2);
  return pcall(L, 2, 0, 0);
}

std::string error_text(VmState* L) {
  size_t len;
  if (!is_string(L, -1)) return "namespace not found!";
  const char* s = to_lstring(L, -1, &len);
  return std::string(s, len);
}

}  // namespace

int push_resource(VmState* L, const char* type, const std::string& name, bool as_buffer) {
  const StoreEntry* e = find_store_entry(type, name);
  if (e == nullptr) return 0;
  ensure_stack(L, 1);
  if (as_buffer) {
    void* data = new_cdata(L, e->size);
    std::memcpy(data, e->data, e->size);
  } else if (e->size >= 2 && e->size % 2 == 0 && e->data[0] == 0xFF && e->data[1] == 0xFE) {
    push_wstring(L, reinterpret_cast<const char16_t*>(e->data), e->size / 2);
  } else {
    push_lstring(L, reinterpret_cast<const char*>(e->data), e->size);
  }
  return static_cast<int>(e->size);
}

int load_code_or_path(VmState* L, const char* data, size_t len, const char* chunk_name) {
  auto ends_with = [&](const char* suffix) {
    size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(data + len - n, suffix, n) == 0;
  };
  if (len >= 9 && len <= 1039 && (ends_with(".quevro") || ends_with(".qvu"))) {
    std::string written(data, len);
    int status = load_file(L, resolve_against_root(L, written).c_str());
    bool rooted = (written[0] == '/' || written[0] == '\\') && !(len > 1 && (written[1] == '/' || written[1] == '\\'));
    if (status != STATUS_FILE || !rooted) return status;
    std::string name = written;
    for (char& c : name)
      if (c == '\\') c = '/';
    if (push_resource(L, "RES", name, false) == 0) return status;  // the file error stands
    size_t size;
    const char* text = to_lstring(L, -1, &size);
    std::string content(text, size);
    L->top -= 2;  // the resource and the file error
    if (content.size() >= 3 && std::memcmp(content.data(), "\xEF\xBB\xBF", 3) == 0) content.erase(0, 3);
    return load_buffer(L, content.data(), content.size(), chunk_name);
  }
  if (len >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
    data += 3;
    len -= 3;
  }
  return load_buffer(L, data, len, chunk_name);
}

std::string find_module_file(VmState* L, const std::string& name) {
  if (name.size() >= 2 && name[0] == name[1] && (name[0] == '/' || name[0] == '\\')) return {};
  auto walk = [&](const std::string& base) -> std::string {
    // base ends with the module name; its dots become folders one at a time.
    std::string path = base;
    size_t name_start = base.size() - name.size();
    for (;;) {
      if (file_exists(path + ".quevro")) return path + ".quevro";
      size_t dot = path.find('.', name_start);
      if (dot == std::string::npos) break;
      path[dot] = '/';
      name_start = dot + 1;
    }
    if (file_exists(path + "/_.quevro")) return path + "/_.quevro";
    return {};
  };
  std::string found = walk(resolve_app_path(name, "/lib/"));
  if (found.empty() && !state_root(L).empty()) found = walk(resolve_against_root(L, "/lib/" + name));
  return found;
}

int base_import(VmState* L) {
  Value* arg = stack_address(L, ARG_NAME);
  if (arg->tag != TAG_STRING) type_arg_error(L, ARG_NAME, "string");
  std::string name(arg->string()->data(), arg->string()->length);
  if (!name.empty() && name[0] == '.') name.erase(0, 1);
  Value owner = *stack_address(L, 1);
  TableObject* globals = L->globals.table();
  bool owner_is_global = !is_namespace(&owner) || namespace_table(&owner) == globals;
  if (!name.empty() && name[0] == '_') library_error(L, "Library namespace cannot start with an underscore( %s )", name.c_str());

  if (name == "global") {
    if (!owner_is_global) make_globals_visible(L, &owner);
    return 0;
  }

  // The value currently under the name.
  bool dotted = name.find('.') != std::string::npos;
  TableObject* parent = dotted ? dotted_parent(L, name, true, name) : (owner_is_global ? globals : namespace_table(&owner));
  Value current = *raw_field(L, parent, dotted ? last_component(name) : name);
  bool native_file_class = false;
  if (!current.is_null() && current.tag != TAG_TABLE) {
    if (current.tag == TAG_FUNCTION && current.closure()->is_class) {
      native_file_class = name == "io.file";
    } else {
      library_error(L, "Namespace Conflict( %s )", name.c_str());
    }
  }

  if (!native_file_class) {
    TableObject* loaded = loaded_libs(L);
    Value state = *raw_field(L, loaded, name);
    if (is_falsy(state)) state = native_preloader(L, loaded, name);
    if (state.tag == TAG_POINTER && state.u.p == loading_marker()) return 0;
    bool preloader = state.tag == TAG_FUNCTION && !state.closure()->is_class;
    if (preloader || is_falsy(state)) {
      // The chunk and its argument stay on the stack from here to the call: nothing else keeps
      // them alive while the loading state is recorded.
      ensure_stack(L, 2);
      if (preloader) {
        push(L, state);
        push_lstring(L, name.data(), name.size());
      } else if (push_resource(L, "LIB", name, true) > 0) {
        // The embedded chunk: compiled with the module name as its chunk name.
        CdataObject* buffer = L->top[-1].cdata();
        const char* bytes = reinterpret_cast<const char*>(buffer->data());
        size_t size = buffer->size;
        if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
          bytes += 3;
          size -= 3;
        }
        if (load_buffer(L, bytes, size, name.c_str()) != STATUS_OK)
          library_error(L, "import %s failed !syntax error: \n%s", name.c_str(), error_text(L).c_str());
        insert(L, -2);  // the chunk below its buffer
      } else {
        std::string path = find_module_file(L, name);
        if (path.empty()) library_error(L, "import %s failed ! file not found", name.c_str());
        int status = load_file(L, path.c_str());
        if (status != STATUS_OK) {
          if (status == STATUS_FILE) library_error(L, "import %s failed :\n%s ", name.c_str(), error_text(L).c_str());
          library_error(L, "import %s failed !syntax error: \n%s", name.c_str(), error_text(L).c_str());
        }
        push_lstring(L, path.data(), path.size());
      }
      set_raw_field(L, loaded_libs(L), name, make_pointer(loading_marker()));
      int status = run_module_chunk(L);
      Value ns;
      if (status != STATUS_OK || !namespace_exists(L, name, &ns)) {
        std::string message = status != STATUS_OK ? error_text(L) : std::string("namespace not found!");
        // Undo: the half-made namespace and the loading state go away, so a later import retries.
        if (!dotted) {
          set_raw_field(L, globals, name, make_null());
        } else if (TableObject* p = dotted_parent(L, name, false, name)) {
          set_raw_field(L, p, last_component(name), make_null());
        }
        set_raw_field(L, loaded_libs(L), name, make_null());
        library_error(L, "import %s failed :\n%s ", name.c_str(), message.c_str());
      }
      set_raw_field(L, loaded_libs(L), name, ns);
    }
  }

  if (owner_is_global) return 0;
  // Make the first component visible in the importing namespace.
  std::string first = first_component(name);
  Value g = *raw_field(L, globals, first);
  TableObject* target = namespace_table(&owner);
  const Value* o = raw_field(L, target, first);
  if (o->is_null()) {
    ensure_stack(L, 3);
    push(L, owner);
    push_lstring(L, first.data(), first.size());
    push(L, g);
    full_set(L, L->top - 3, L->top - 2, L->top - 1, true);
    L->top -= 3;
  } else if (!raw_equal_values(*o, g)) {
    library_error(L, "Namespace conflict for self.%s", first.c_str());
  }
  return 0;
}

}  // namespace quevro
