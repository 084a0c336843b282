#include "native/pointer_conversion.h"

#include "vm/api.h"
#include "vm/calls.h"
#include "vm/cdata.h"

namespace quevro {

namespace {

// Handlers may hand back objects that convert again; a cycle of them must still end.
constexpr int CONVERSION_LIMIT = 16;

}  // namespace

bool push_converted_pointer(VmState* L, int idx) {
  int t = type_of(L, idx);
  if (t != TAG_TABLE && t != TAG_CDATA) return false;
  ensure_stack(L, 4);
  if (!get_metatable(L, idx)) return false;
  raw_get_field(L, -1, "_topointer");
  remove(L, -2);
  if (type_of(L, -1) != TAG_FUNCTION) {
    pop(L, 1);
    return false;
  }
  push_value(L, idx);
  call(L, 1, 1);
  return true;
}

bool to_native_pointer(VmState* L, int idx, bool null_ok, bool strings_ok, void** out) {
  if (idx < 0 && idx > REGISTRY_INDEX) idx = get_top(L) + idx + 1;
  int base = get_top(L);
  bool ok = false;
  for (int step = 0; step < CONVERSION_LIMIT; ++step) {
    Value* v = stack_address(L, idx);
    if (is_absent(v) || v->tag == TAG_NULL) {
      *out = nullptr;
      ok = null_ok;
      break;
    }
    if (v->tag == TAG_POINTER) {
      *out = v->u.p;
      ok = true;
      break;
    }
    if (v->tag == TAG_STRING && strings_ok) {
      *out = const_cast<char*>(v->string()->data());
      ok = true;
      break;
    }
    if (v->tag == TAG_CDATA && v->cdata()->is_buffer()) {
      *out = v->cdata()->data();
      ok = true;
      break;
    }
    if (!push_converted_pointer(L, idx)) break;
    idx = get_top(L);
  }
  set_top(L, base);
  return ok;
}

}  // namespace quevro
