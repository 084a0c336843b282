#include "com/com_library.h"

#include <string>

#include "com/class_registry.h"
#include "com/com_error.h"
#include "com/dispatch_invoke.h"
#include "com/dispatch_object.h"
#include "com/embedding.h"
#include "com/enumerator_object.h"
#include "com/object_functions.h"
#include "com/running_objects.h"
#include "com/server_registration.h"
#include "com/event_connection.h"
#include "com/safearray.h"
#include "com/script_object.h"
#include "com/type_library_object.h"
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

// com.SetPreferredDateMode(object, "utc" or "local"): how dates cross in the object's calls.
int set_preferred_date_mode(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  size_t len;
  const char* mode = check_lstring(L, ARG2, &len);
  std::string_view m(mode, len);
  if (m != "utc" && m != "local") runtime_error(L, "Invalid date mode '%s'", mode);
  object->utc_dates = m == "utc";
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

// com.ImplInterface(implementation): the table, function or cdata as a script object, seen by
// the script as any other automation object.
int impl_interface(VmState* L) {
  if (!is_none_or_null(L, ARG2)) return impl_typed_interface(L);
  ComRef<IDispatch> object = ComRef<IDispatch>::adopt(expose_script_value(L, ARG1));
  push_dispatch_object(L, object.get());
  return 1;
}

// com.RoundTrip(value): the value converted to a VARIANT and back.
int round_trip(VmState* L) {
  VariantHolder v;
  to_variant(L, ARG1, v.get());
  push_variant(L, v.get());
  return 1;
}

int is_object(VmState* L) {
  push_boolean(L, to_dispatch_object(L, ARG1) != nullptr);
  return 1;
}

int is_unknown(VmState* L) {
  push_boolean(L, to_unknown_object(L, ARG1) != nullptr);
  return 1;
}

// com.IsMember(object, name): whether the object knows the name.
int is_member(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  size_t len;
  const char* name = is_string(L, ARG2) ? to_lstring(L, ARG2, &len) : nullptr;
  DISPID id;
  push_boolean(L, name && member_id(object, name, len, &id));
  return 1;
}

// com.Release(object): gives up the script's reference now rather than at collection; the
// object counts as invalid afterwards.
int release_object(VmState* L) {
  if (DispatchWrapper* object = to_dispatch_object(L, ARG1)) {
    release_dispatch_wrapper(object);
    return 0;
  }
  if (is_cdata(L, ARG1) && to_unknown_object(L, ARG1)) {
    release_unknown_object(L, ARG1);
    return 0;
  }
  // A pointer from com.GetPointer gives its reference back.
  if (type_of(L, ARG1) == TAG_POINTER && stack_address(L, ARG1)->u.p) {
    static_cast<IUnknown*>(stack_address(L, ARG1)->u.p)->Release();
    return 0;
  }
  // A VARIANT made to hand an object on (a host object published to a page) lets go of it.
  if (VARIANT* boxed = to_variant_object(L, ARG1)) {
    VariantClear(boxed);
    return 0;
  }
  runtime_error_text(L, "expected:COM Object or IUnknown Pointer!");
}

}  // namespace

void push_com_metatable(VmState* L, const char* type) {
  registry_subtable(L, COM_LIBRARY);
  raw_get_field(L, -1, type);
  remove(L, -2);
}

void* com_cdata_of_type(VmState* L, int idx, const char* type) {
  if (!is_cdata(L, idx) || !get_metatable(L, idx)) return nullptr;
  push_com_metatable(L, type);
  bool same = raw_equal(L, -1, -2);
  pop(L, 2);
  return same ? to_cdata(L, idx) : nullptr;
}

void open_com_library(VmState* L) {
  static const LibraryFunction functions[] = {
      {"CreateObject", create_object},
      {"SetPreferredArrayType", set_preferred_array_type},
      {"SetPreferredInvokeKind", set_preferred_invoke_kind},
      {"SetPreferredDateMode", set_preferred_date_mode},
      {"Variant", new_variant},
      {"SafeArray", safearray_value},
      {"ImplInterface", impl_interface},
      {"RoundTrip", round_trip},
      {"IsObject", is_object},
      {"IsIUnknown", is_unknown},
      {"IsMember", is_member},
      {"Release", release_object},
      {"GetEnumerator", get_enumerator},
      {"isEnumerator", is_enumerator},
      {"each", each_item},
      {"LoadTypeLibrary", load_type_library},
      {"GetTypeInfo", get_type_info},
      {"ImplInterfaceFromTypelib", impl_interface_from_typelib},
      {"NewObject", new_object},
      {"Connect", connect_events},
      {"AddConnection", add_connection},
      {"ReleaseConnection", release_connection},
      {"FireEvent", fire_event},
      {"CreateEmbed", create_embed},
      {"QueryObject", query_object},
      {"GetIUnknown", get_iunknown},
      {"GetPointer", get_pointer},
      {"GetIPicture", get_ipicture},
      {"IsNetObject", is_net_object},
      {"DumpTypeInfo", dump_type_info},
      {"ExposeObject", expose_object},
      {"RevokeObject", revoke_object},
      {"GetObject", get_object},
      {"enumRunning", enum_running},
      {"RegisterObject", register_object},
      {"UnRegisterObject", unregister_object},
      {"DoObjectVerb", do_object_verb},
      {nullptr, nullptr}};
  register_library(L, COM_LIBRARY, functions);
  pop(L, 1);
  register_dispatch_types(L);
  register_variant_type(L);
  register_unknown_type(L);
  register_enumerator_type(L);
  register_type_library_types(L);
  register_host_type(L);
}

}  // namespace quevro::com
