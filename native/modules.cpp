#include "native/modules.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "lib/library_support.h"
#include "native/image_errors.h"
#include "native/memory_modules.h"
#include "native/native_call.h"
#include "native/pointer_conversion.h"
#include "native/weak_tables.h"
#include "runtime/app_paths.h"
#include "runtime/library_registry.h"
#include "runtime/system_errors.h"
#include "vm/api.h"

namespace quevro {

namespace {

// Strings longer than any path are the bytes of an image to load from memory.
constexpr size_t LONGEST_PATH = 1039;
constexpr const char* FUNCTION_REF_MODULE = "function_ref_module";
// Direct-call functions by module and member name. Keys and values are weak: an entry lives
// while its function is reachable, and the function keeps its module loaded, so a key (which
// names the module record's address) cannot meet a later module at the same address.
constexpr const char* DIRECT_CALL_CACHE = "SPP_CACHE_API_LITE";

void* find_symbol(const ModuleRecord& m, const std::string& name) {
  if (m.memory_handle) return memory_module_symbol(static_cast<MemoryModule*>(m.memory_handle), name.c_str());
  if (m.system_handle == nullptr) return nullptr;
  return dlsym(m.system_handle, name.c_str());
}

// What lasterr reports after a failed load or lookup: the error number a Windows loader gives.
void set_last_error(uint32_t win32_error) { set_last_system_error(win32_error); }

void* handle_of(const ModuleRecord& m) {
  if (m.memory_handle) return memory_module_handle(static_cast<const MemoryModule*>(m.memory_handle));
  return m.system_handle;
}

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

char name_suffix(const std::string& name) {
  size_t n = name.size();
  if (n < 3 || is_upper(name[n - 2])) return 0;
  char last = name[n - 1];
  if (std::strchr("ABDFLPW", last) && last != '\0') return last;
  if (last == 'w' && name[n - 2] == '_') return 'W';
  return 0;
}

ModuleRecord* module_record(VmState* L, int idx) {
  return *static_cast<ModuleRecord**>(check_object(L, idx, RAW_LIBRARY, MODULE_TYPE));
}

void push_typed_object(VmState* L, void* record, const char* type) {
  void** slot = static_cast<void**>(new_cdata(L, sizeof(void*)));
  *slot = record;
  registry_subtable(L, RAW_LIBRARY);
  raw_get_field(L, -1, type);
  remove(L, -2);
  set_metatable(L, -2);
}

void* open_library(VmState* L, const std::string& given) {
  void* h = nullptr;
  if (given.find('/') == std::string::npos && given.find('\\') == std::string::npos)
    h = dlopen(given.c_str(), RTLD_NOW | RTLD_LOCAL);  // a bare name: the system's search
  if (h == nullptr) h = dlopen(resolve_against_root(L, given).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr && given.size() > 1 && given[0] == '~')
    h = dlopen(resolve_against_root(L, given.substr(1)).c_str(), RTLD_NOW | RTLD_LOCAL);
  return h;
}

int module_gc(VmState* L) {
  auto** slot = static_cast<ModuleRecord**>(to_cdata(L, 1));
  if (slot && *slot) {
    if ((*slot)->system_handle) dlclose((*slot)->system_handle);
    if ((*slot)->memory_handle) release_memory_module(static_cast<MemoryModule*>((*slot)->memory_handle));
    delete *slot;
    *slot = nullptr;
  }
  return 0;
}

int module_topointer(VmState* L) {
  push_pointer(L, handle_of(*module_record(L, 1)));
  return 1;
}

int module_gethandle(VmState* L) { return module_topointer(L); }

// Every image this loader accepts is a shared object, that is a library: its initialisation (its
// constructors, the counterpart of a library's attach call) ran when it was mapped, and it has no
// program entry of its own to run. So main() answers as for a library: -1.
int module_main(VmState* L) {
  module_record(L, 1);
  push_number(L, -1);
  return 1;
}

[[noreturn]] void declare_error(VmState* L, const std::string& name, const std::string& rest) {
  runtime_error(L, "\n{Declare api}:'%s'\n{Data type error}: '...%s'  ", name.c_str(), rest.c_str());
}

int module_api(VmState* L) {
  ModuleRecord* m = module_record(L, 1);
  std::string display;
  ResolvedExport found;
  int kind = type_of(L, ARG1);
  if (kind == TAG_STRING) {
    display = to_string(L, ARG1);
    found = resolve_export(*m, display);
  } else if (kind == TAG_POINTER) {
    found.address = stack_address(L, ARG1)->u.p;
    display = format_message("%p", found.address);
  } else if (kind == TAG_NUMBER) {
    // Shared objects export no ordinals.
    display = format_message("#%d", to_integer(L, ARG1));
  } else {
    type_arg_error(L, ARG1, "string|pointer|number");
  }
  if (is_none_or_null(L, ARG2)) {
    push_pointer(L, found.address);
    return 1;
  }
  if (found.address == nullptr) {
    set_last_error(image_error::PROC_NOT_FOUND);
    runtime_error(L, "Cannot find function '%s' in the dll.", display.c_str());
  }
  size_t len;
  const char* text = check_lstring(L, ARG2, &len);
  auto api = std::make_unique<ApiFunction>();
  api->address = found.address;
  api->flags = is_none_or_null(L, ARG3) ? m->flags : convention_flags(check_lstring(L, ARG3, nullptr));
  bool unicode = found.unicode || (api->flags & CONV_UNICODE);
  std::string rest;
  if (!parse_declaration(std::string_view(text, len), unicode, &api->signature, &rest)) declare_error(L, display, rest);
  api->call_signature = api->signature.call_signature();
  api->type_string = api->signature.type_string();
  if (api->signature.result == 'd') api->flags |= RESULT_DOUBLE;
  if (api->signature.result == 'f') api->flags |= RESULT_FLOAT;
  if (!is_none_or_null(L, ARG4)) {
    if (api->signature.parameters.empty()) declare_error(L, display, "(no parameter for the first argument)");
    if (!to_native_pointer(L, ARG4, true, true, &api->bound_first)) type_arg_error(L, ARG4, "pointer");
    api->has_bound_first = true;
  }
  if (!prepare_api(api.get())) declare_error(L, display, std::string(text, len));
  push_typed_object(L, api.release(), FUNCTION_TYPE);
  push_weak_registry_table(L, FUNCTION_REF_MODULE, "k");
  push_value(L, -2);
  push_value(L, 1);
  raw_set(L, -3);
  pop(L, 1);
  return 1;
}

ApiFunction* api_function(VmState* L, int idx) {
  return *static_cast<ApiFunction**>(check_object(L, idx, RAW_LIBRARY, FUNCTION_TYPE));
}

// The call handler holds the function metatable as its upvalue: a call, the hot path, checks
// its object against it without looking the type up by name.
int function_call(VmState* L) {
  Value* self = stack_address(L, 1);
  Value* type = stack_address(L, upvalue_index(1));
  if (self->tag == TAG_CDATA && type->tag == TAG_TABLE && self->cdata()->metatable == type->table()) {
    auto* api = *static_cast<ApiFunction**>(to_cdata(L, 1));
    if (api != nullptr) return call_api(L, api, ARG1);
  }
  return call_api(L, api_function(L, 1), ARG1);
}

int function_topointer(VmState* L) {
  push_pointer(L, api_function(L, 1)->address);
  return 1;
}

int function_gc(VmState* L) {
  auto** slot = static_cast<ApiFunction**>(to_cdata(L, 1));
  if (slot && *slot) {
    delete *slot;
    *slot = nullptr;
  }
  return 0;
}

// A member read from a module object and called: upvalue 1 the address, 2 the unicode flag,
// 3 the suffix, 4 the module object (which must stay loaded while the function lives).
int direct_call(VmState* L) {
  void* address = stack_address(L, upvalue_index(1))->u.p;
  bool unicode = to_boolean(L, upvalue_index(2));
  char suffix = static_cast<char>(to_integer(L, upvalue_index(3)));
  return call_direct(L, address, unicode, suffix, ARG1);
}

int module_get(VmState* L) {
  ModuleRecord* m = module_record(L, 1);
  if (type_of(L, 2) != TAG_STRING) return 0;
  std::string name = to_string(L, 2);
  if (name == "api") {
    push_function(L, module_api);
    return 1;
  }
  if (name == "gethandle") {
    push_function(L, module_gethandle);
    return 1;
  }
  if (name == "main") {
    push_function(L, module_main);
    return 1;
  }
  ensure_stack(L, 8);
  push_weak_registry_table(L, DIRECT_CALL_CACHE, "kv");
  int cache = get_top(L);
  std::string key_text = format_message("%p:", static_cast<void*>(m)) + name;
  push_lstring(L, key_text.data(), key_text.size());
  int key = get_top(L);
  push_value(L, key);
  raw_get(L, cache);
  if (type_of(L, -1) == TAG_FUNCTION) return 1;
  pop(L, 1);
  ResolvedExport found = resolve_export(*m, name);
  if (found.address == nullptr) return 0;
  push_pointer(L, found.address);
  push_boolean(L, found.unicode || (m->flags & CONV_UNICODE));
  push_number(L, found.suffix);
  push_value(L, 1);
  push_closure(L, direct_call, 4);
  push_value(L, key);
  push_value(L, -2);
  raw_set(L, cache);
  return 1;
}

}  // namespace

ResolvedExport resolve_export(const ModuleRecord& m, const std::string& name) {
  ResolvedExport r;
  char suffix = name_suffix(name);
  r.suffix = suffix;
  if ((r.address = find_symbol(m, name)) == nullptr && suffix) {
    r.address = find_symbol(m, name.substr(0, name.size() - 1));
    if (r.address == nullptr && (suffix == 'W' || suffix == 'A')) return r;
  }
  if (r.address == nullptr) {
    r.address = find_symbol(m, name + "W");
    if (r.address) r.unicode = true;
  }
  if (suffix == 'W') r.unicode = true;
  return r;
}

int raw_load_dll(VmState* L) {
  std::string share;
  if (type_of(L, ARG2) == TAG_STRING) share = to_string(L, ARG2);
  uint16_t flags = is_none_or_null(L, ARG3) ? CONV_STDCALL : convention_flags(check_lstring(L, ARG3, nullptr));
  auto record = std::make_unique<ModuleRecord>();
  record->flags = flags;
  uint32_t error = image_error::NONE;
  if (is_none_or_null(L, ARG1)) {
    // A module shared by name comes from the in-memory loader's list.
    if (share.empty()) type_arg_error(L, ARG1, "string");
    record->memory_handle = load_memory_module(nullptr, 0, share, &error);
    if (record->memory_handle == nullptr) {
      set_last_error(error);
      runtime_error(L, "Cannot load library '%s'.", share.c_str());
    }
    push_typed_object(L, record.release(), MODULE_TYPE);
    return 1;
  }
  size_t len;
  const char* path = check_lstring(L, ARG1, &len);
  if (len > LONGEST_PATH) {
    record->memory_handle = load_memory_module(path, len, share, &error);
    if (record->memory_handle == nullptr) {
      set_last_error(error);
      runtime_error(L, "Cannot load library '%s'.", share.empty() ? "(memory image)" : share.c_str());
    }
    push_typed_object(L, record.release(), MODULE_TYPE);
    return 1;
  }
  std::string given(path, len);
  record->system_handle = open_library(L, given);
  if (record->system_handle == nullptr) {
    set_last_error(image_error::MOD_NOT_FOUND);
    runtime_error(L, "Cannot load library '%s'.", given.c_str());
  }
  push_typed_object(L, record.release(), MODULE_TYPE);
  return 1;
}

void register_module_types(VmState* L) {
  static const LibraryFunction module_handlers[] = {
      {"_gc", module_gc}, {"_get", module_get}, {"_topointer", module_topointer}, {nullptr, nullptr}};
  register_object_type(L, RAW_LIBRARY, MODULE_TYPE, module_handlers);
  pop(L, 1);
  static const LibraryFunction function_handlers[] = {
      {"_gc", function_gc}, {"_topointer", function_topointer}, {nullptr, nullptr}};
  register_object_type(L, RAW_LIBRARY, FUNCTION_TYPE, function_handlers);
  // `_call` knows the type of the objects it serves through its upvalue, the metatable itself.
  ensure_stack(L, 2);
  push_value(L, -1);
  push_closure(L, function_call, 1);
  raw_set_field(L, -2, "_call");
  pop(L, 1);
}

}  // namespace quevro
