#include "com/com_library.h"

#include <string>

#include "com/class_registry.h"
#include "com/com_error.h"
#include "com/dispatch_object.h"
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

}  // namespace

void open_com_library(VmState* L) {
  static const LibraryFunction functions[] = {
      {"CreateObject", create_object},
      {"SetPreferredArrayType", set_preferred_array_type},
      {"SetPreferredInvokeKind", set_preferred_invoke_kind},
      {nullptr, nullptr}};
  register_library(L, COM_LIBRARY, functions);
  pop(L, 1);
  register_dispatch_types(L);
}

}  // namespace quevro::com
