#include "native/raw_library.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/library_support.h"
#include "native/callbacks.h"
#include "native/modules.h"
#include "native/raw_memory.h"
#include "native/thread_records.h"
#include "runtime/library_registry.h"
#include "runtime/window_system.h"
#include "vm/api.h"
#include "vm/calls.h"

namespace quevro {

namespace {

// No process can run code in another one here; every remote request fails as the system would
// fail to open the process, except the request for the current one, which has its own message.
int raw_remote_api(VmState* L) {
  if (type_of(L, ARG1) == TAG_NUMBER && to_integer(L, ARG1) == static_cast<int32_t>(getpid()))
    runtime_error(L, "Cannot create a remoteApi for the current process!");
  if (type_of(L, ARG1) != TAG_NUMBER && type_of(L, ARG1) != TAG_POINTER) type_arg_error(L, ARG1, "pointer|number");
  runtime_error(L, "%s", std::strerror(ENOSYS));
}

// Closes a handle of the window-system layer (a thread handle, an event or another waitable
// handle); any other pointer is no handle of this system and gives false. A closed thread handle
// no longer names its thread, which runs on.
int raw_closehandle(VmState* L) {
  Value* v = stack_address(L, ARG1);
  void* h = v->tag == TAG_POINTER ? v->u.p : nullptr;
  bool closed = h != nullptr && winsys::close_handle(h);
  if (closed) forget_thread_handle(h);
  push_boolean(L, closed);
  return 1;
}

int raw_release(VmState* L) {
  ensure_stack(L, 6);
  push_value(L, ARG1);
  for (int step = 0; step < 16 && type_of(L, -1) == TAG_TABLE; ++step) {
    int at = get_top(L);
    if (!get_metatable(L, at)) return 0;
    raw_get_field(L, -1, "_topointer");
    remove(L, -2);
    if (type_of(L, -1) != TAG_FUNCTION) return 0;
    push_value(L, at);
    call(L, 1, 1);
  }
  if (type_of(L, -1) != TAG_CDATA || !get_metatable(L, -1)) return 0;
  raw_get_field(L, -1, "_gc");
  remove(L, -2);
  if (type_of(L, -1) != TAG_FUNCTION) return 0;
  push_value(L, -2);
  call(L, 1, 0);
  return 0;
}

const LibraryFunction RAW_FUNCTIONS[] = {
    {"loadDll", raw_load_dll},     {"remoteApi", raw_remote_api}, {"toPointer", raw_to_pointer},
    {"closehandle", raw_closehandle}, {"_release", raw_release},  {"buffer", raw_buffer},
    {"sizeof", raw_sizeof},        {"convert", raw_convert},      {"copy", raw_copy},
    {"tostring", raw_tostring},    {"str", raw_str},              {"swap", raw_swap},
    {"toarray", raw_toarray},      {"tostdcall", raw_tostdcall},  {"tocdecl", raw_tocdecl},
    {"tofastcall", raw_tofastcall}, {"realloc", raw_realloc},  {"concat", raw_concat},
    {nullptr, nullptr},
};

void copy_string_function(VmState* L, int raw, const char* name) {
  get_field(L, GLOBALS_INDEX, "string");
  if (type_of(L, -1) == TAG_TABLE) {
    push_string(L, name);
    get_field(L, -2, name);
    raw_set(L, raw);
  }
  pop(L, 1);
}

}  // namespace

void open_raw_library(VmState* L) {
  register_module_types(L);
  register_callback_type(L);
  register_library(L, RAW_LIBRARY, RAW_FUNCTIONS);
  int raw = get_top(L);
  push_string(L, "_stdcall");
  push_string(L, "s");
  raw_set(L, raw);
  push_string(L, "_cdecl");
  push_string(L, "c");
  raw_set(L, raw);
  for (const char* name : {"find", "match", "indexOf"}) copy_string_function(L, raw, name);
  set_top(L, raw - 1);
}

}  // namespace quevro
