#include "com/variant_object.h"

#include <cstdio>
#include <cstring>

#include "com/com_error.h"
#include "com/variant_conversion.h"
#include "com/com_library.h"
#include "runtime/library_registry.h"
#include "vm/arguments.h"

namespace quevro::com {
namespace {

VariantBox* check_box(VmState* L, int idx) {
  if (!to_variant_object(L, idx)) runtime_error_text(L, "No value to convert.");
  return static_cast<VariantBox*>(to_cdata(L, idx));
}

bool key_is(VmState* L, int idx, const char* name) {
  return is_string(L, idx) && std::strcmp(to_string(L, idx), name) == 0;
}

// Replaces the box's VARIANT by the value at idx converted as for a VT_VARIANT parameter.
void store_value(VmState* L, VariantBox* box, int idx) {
  VariantHolder converted;
  to_variant(L, idx, converted.get());
  VariantClear(&box->value);
  box->value = *converted.get();
  VariantInit(converted.get());
}

int clear_method(VmState* L) {
  VariantClear(&check_box(L, 1)->value);
  return 0;
}

// _get(object, key): vt, value, bstrVal, clear.
int variant_get(VmState* L) {
  VariantBox* box = check_box(L, 1);
  if (key_is(L, 2, "vt")) {
    push_number(L, box->value.vt);
  } else if (key_is(L, 2, "value")) {
    push_variant(L, &box->value);
  } else if (key_is(L, 2, "bstrVal")) {
    if (box->value.vt == VT_BSTR) {
      std::string text = utf8_from_bstr(box->value.bstrVal);
      push_lstring(L, text.data(), text.size());
    } else {
      push_null(L);
    }
  } else if (key_is(L, 2, "clear")) {
    push_function(L, clear_method);
  } else {
    push_null(L);
  }
  return 1;
}

// _set(object, key, value): only `value` may be written.
int variant_set(VmState* L) {
  VariantBox* box = check_box(L, 1);
  if (!key_is(L, 2, "value")) runtime_error_text(L, "access denied!");
  store_value(L, box, 3);
  return 0;
}

int variant_gc(VmState* L) {
  if (VARIANT* v = to_variant_object(L, 1)) VariantClear(v);
  return 0;
}

int variant_tostring(VmState* L) {
  char text[48];
  std::snprintf(text, sizeof text, "com.Variant: %p", static_cast<void*>(to_variant_object(L, 1)));
  push_string(L, text);
  return 1;
}

int variant_pointer(VmState* L) {
  push_pointer(L, to_variant_object(L, 1));
  return 1;
}

// An empty VARIANT of a type: only plain value types, since nothing backs a reference or an
// interface and reading such a VARIANT must not follow a null pointer.
bool can_hold_nothing(VARTYPE vt) {
  if ((vt & (VT_BYREF | VT_ARRAY)) || vt == VT_RECORD) return false;
  return is_variant_type(vt);
}

}  // namespace

void register_variant_type(VmState* L) {
  static const LibraryFunction fields[] = {{"_get", variant_get},
                                           {"_set", variant_set},
                                           {"_gc", variant_gc},
                                           {"_tostring", variant_tostring},
                                           {"_topointer", variant_pointer},
                                           {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, VARIANT_TYPE, fields);
  pop(L, 1);
}

VariantBox* push_variant_object(VmState* L) {
  auto* box = static_cast<VariantBox*>(new_cdata(L, sizeof(VariantBox)));
  VariantInit(&box->value);
  box->flag = false;
  push_com_metatable(L, VARIANT_TYPE);
  set_metatable(L, -2);
  return box;
}

VARIANT* to_variant_object(VmState* L, int idx) {
  auto* box = static_cast<VariantBox*>(com_cdata_of_type(L, idx, VARIANT_TYPE));
  return box ? &box->value : nullptr;
}

int new_variant(VmState* L) {
  set_top(L, ARG3);
  bool typed = is_number(L, ARG2);
  VARTYPE vt = typed ? static_cast<VARTYPE>(to_integer(L, ARG2)) : VARTYPE{VT_VARIANT};
  if (vt == 0xFFFF) vt = VT_VARIANT;
  VariantHolder made;
  if (type_of(L, ARG1) == TAG_NULL) {
    VARTYPE empty_type = !typed ? VARTYPE{VT_NULL} : vt == VT_VARIANT ? VARTYPE{VT_EMPTY} : vt;
    if (!can_hold_nothing(empty_type)) runtime_error_text(L, "Type not compatible with automation.");
    std::memset(made.get(), 0, sizeof(VARIANT));
    made.get()->vt = empty_type;
  } else if (!typed && type_of(L, ARG1) == TAG_POINTER) {
    const auto* source = static_cast<const VARIANT*>(stack_address(L, ARG1)->u.p);
    if (!source) runtime_error_text(L, "No value to convert.");
    HRESULT hr = VariantCopy(made.get(), source);
    if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));
  } else {
    to_variant(L, ARG1, made.get(), vt);
    if (vt != VT_VARIANT && made.get()->vt != vt) {
      HRESULT hr = VariantChangeType(made.get(), made.get(), 0, vt);
      if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));
    }
  }
  VariantBox* box = push_variant_object(L);
  box->value = *made.get();
  VariantInit(made.get());
  box->flag = to_boolean(L, ARG3);
  return 1;
}

}  // namespace quevro::com
