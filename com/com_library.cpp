#include "com/com_library.h"

#include <string>

#include "com/class_registry.h"
#include "com/com_error.h"
#include "com/dispatch_object.h"
#include "com/safearray.h"
#include "com/unknown_object.h"
#include "com/variant_conversion.h"
#include "com/variant_object.h"
#include "runtime/library_registry.h"
#include "vm/arguments.h"

namespace quevro::com {
namespace {

// Arguments follow the owner slot.
// com.CreateObject(progid or "{clsid}"): a new instance of a registered class.
int create_object(VmState* L) {
  if (!is_string(L, ARG1)) runtime_error_text(L, "No value to convert.");
  size_t len;
  const char* name = to_lstring(L, ARG1, &len);
  CLSID clsid;
  HRESULT hr = clsid_from_string(std::string_view(name, len), &clsid);
  ComRef<IDispatch> object;
  if (SUCCEEDED(hr))
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, object.put_void());
  if (FAILED(hr)) runtime_error_text(L, com_error_text(hr));
  push_dispatch_object(L, object.get());
  return 1;
}

// com.SetPreferredArrayType(object, vt)
int set_preferred_array_type(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  object->preferred_array = static_cast<VARTYPE>(to_integer(L, ARG2));
  return 0;
}

// com.SetPreferredInvokeKind(object, kind)
int set_preferred_invoke_kind(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  object->preferred_kind = static_cast<WORD>(to_integer(L, ARG2));
  return 0;
}

// com.SafeArray(pointer, element type = VT_UI1): the array's script value.
int safearray_value(VmState* L) {
  if (type_of(L, ARG1) == TAG_NULL) {
    push_null(L);
    return 1;
  }
  if (type_of(L, ARG1) != TAG_POINTER) runtime_error_text(L, "No value to convert.");
  auto* array = static_cast<SAFEARRAY*>(stack_address(L, ARG1)->u.p);
  VARTYPE element = is_number(L, ARG2) ? static_cast<VARTYPE>(to_integer(L, ARG2)) : VARTYPE{VT_UI1};
  push_safearray(L, array, element);
  return 1;
}

}  // namespace

void open_com_library(VmState* L) {
  static const LibraryFunction functions[] = {
      {"CreateObject", create_object},
      {"SetPreferredArrayType", set_preferred_array_type},
      {"SetPreferredInvokeKind", set_preferred_invoke_kind},
      {"Variant", new_variant},
      {"SafeArray", safearray_value},
      {nullptr, nullptr}};
  register_library(L, COM_LIBRARY, functions);
  pop(L, 1);
  register_dispatch_types(L);
  register_variant_type(L);
  register_unknown_type(L);
}

}  // namespace quevro::com
