#include "com/type_library_object.h"

#include <string>

#include "com/com_error.h"
#include "com/com_library.h"
#include "com/dispatch_object.h"
#include "com/type_library_reader.h"
#include "com/typed_script_object.h"
#include "runtime/library_registry.h"
#include "vm/arguments.h"

namespace quevro::com {
namespace {

constexpr const char* CANNOT_LOAD = "Could not load type library.";
constexpr const char* NO_COCLASS_INFO = "Could not get ccoclass typeinfo.";
constexpr const char* NO_DEFAULT_INTERFACE = "Could not find a suitable default interface.";
constexpr const char* COCLASS_NOT_FOUND = "CoClass not found in type library.";

IUnknown** holder_of(VmState* L, int idx, const char* type) {
  return static_cast<IUnknown**>(com_cdata_of_type(L, idx, type));
}

template <const char* const* TYPE>
int release_holder(VmState* L) {
  if (IUnknown** holder = holder_of(L, 1, *TYPE)) {
    if (IUnknown* object = *holder) {
      *holder = nullptr;
      object->Release();
    }
  }
  return 0;
}

template <const char* const* TYPE>
int holder_pointer(VmState* L) {
  IUnknown** holder = holder_of(L, 1, *TYPE);
  push_pointer(L, holder ? *holder : nullptr);
  return 1;
}

void push_holder(VmState* L, IUnknown* object, const char* type) {
  auto** holder = static_cast<IUnknown**>(new_cdata(L, sizeof(IUnknown*)));
  *holder = nullptr;
  push_com_metatable(L, type);
  set_metatable(L, -2);
  object->AddRef();
  *holder = object;
}

constexpr const char* TYPELIB_NAME = TYPELIB_TYPE;
constexpr const char* TYPEINFO_NAME = TYPEINFO_TYPE;

// The type of the library named `name`, with a reference; null when it has none of that name.
ITypeInfo* type_named(ITypeLib* library, const std::string& name) {
  for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
    BSTR text = nullptr;
    if (FAILED(library->GetDocumentation(static_cast<int32_t>(i), &text, nullptr, nullptr, nullptr))) continue;
    bool same = utf8_from_bstr(text) == name;
    SysFreeString(text);
    ITypeInfo* info = nullptr;
    if (same && SUCCEEDED(library->GetTypeInfo(i, &info))) return info;
  }
  return nullptr;
}

TYPEKIND kind_of(ITypeInfo* info) {
  TYPEATTR* attributes;
  if (FAILED(info->GetTypeAttr(&attributes))) return TKIND_ALIAS;
  TYPEKIND kind = attributes->typekind;
  info->ReleaseTypeAttr(attributes);
  return kind;
}

void check_implementation(VmState* L, int idx, const char* message) {
  if (type_of(L, idx) != TAG_TABLE && type_of(L, idx) != TAG_CDATA) runtime_error_text(L, message);
}

std::string name_argument(VmState* L, int idx) {
  if (!is_string(L, idx)) runtime_error_text(L, COCLASS_NOT_FOUND);
  size_t len;
  const char* s = to_lstring(L, idx, &len);
  return std::string(s, len);
}

void push_typed_object(VmState* L, int implementation, ITypeInfo* iface, ITypeInfo* coclass) {
  ComRef<IDispatch> object = ComRef<IDispatch>::adopt(new_typed_script_object(L, implementation, iface, coclass, false));
  push_dispatch_object(L, object.get());
}

// The class named at ARG3 of the library at ARG2, with a reference.
ComRef<ITypeInfo> coclass_argument(VmState* L) {
  ITypeLib* library = check_type_library(L, ARG2);
  ComRef<ITypeInfo> coclass = ComRef<ITypeInfo>::adopt(type_named(library, name_argument(L, ARG3)));
  if (!coclass) runtime_error_text(L, COCLASS_NOT_FOUND);
  if (kind_of(coclass.get()) != TKIND_COCLASS) runtime_error_text(L, NO_COCLASS_INFO);
  return coclass;
}

}  // namespace

void register_type_library_types(VmState* L) {
  static const LibraryFunction library_fields[] = {{"_gc", release_holder<&TYPELIB_NAME>},
                                                   {"_topointer", holder_pointer<&TYPELIB_NAME>},
                                                   {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, TYPELIB_TYPE, library_fields);
  pop(L, 1);
  static const LibraryFunction info_fields[] = {{"_gc", release_holder<&TYPEINFO_NAME>},
                                                {"_topointer", holder_pointer<&TYPEINFO_NAME>},
                                                {nullptr, nullptr}};
  register_object_type(L, COM_LIBRARY, TYPEINFO_TYPE, info_fields);
  pop(L, 1);
}

ITypeLib* check_type_library(VmState* L, int idx) {
  IUnknown** holder = holder_of(L, idx, TYPELIB_TYPE);
  if (!holder || !*holder) runtime_error_text(L, CANNOT_LOAD);
  return static_cast<ITypeLib*>(*holder);
}

// com.LoadTypeLibrary(description)
int load_type_library(VmState* L) {
  TypeLibraryDescription description;
  std::string reason;
  ComRef<ITypeLib> library;
  if (!read_type_library_description(L, ARG1, &description, &reason))
    runtime_error_text(L, std::string(CANNOT_LOAD) + "\n" + reason);
  HRESULT hr = new_type_library(description, library.put());
  if (FAILED(hr)) runtime_error_text(L, std::string(CANNOT_LOAD) + "\n" + hresult_text(hr));
  push_holder(L, library.get(), TYPELIB_TYPE);
  return 1;
}

// com.GetTypeInfo(object): the object's type information, or null when it gives none.
int get_type_info(VmState* L) {
  DispatchWrapper* object = check_dispatch_object(L, ARG1);
  UINT count = 0;
  ComRef<ITypeInfo> info;
  if (SUCCEEDED(object->dispatch->GetTypeInfoCount(&count)) && count > 0 &&
      SUCCEEDED(object->dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put())) && info) {
    push_holder(L, info.get(), TYPEINFO_TYPE);
    return 1;
  }
  push_null(L);
  return 1;
}

int impl_typed_interface(VmState* L) {
  check_implementation(L, ARG1, "Implementation must be a table or a cdata");
  ITypeLib* library = check_type_library(L, ARG2);
  ComRef<ITypeInfo> iface = ComRef<ITypeInfo>::adopt(type_named(library, name_argument(L, ARG3)));
  if (!iface || kind_of(iface.get()) == TKIND_COCLASS)
    runtime_error_text(L, com_error_text(TYPE_E_ELEMENTNOTFOUND));
  push_typed_object(L, ARG1, iface.get(), nullptr);
  return 1;
}

namespace {

// A typed object for the default interface of the class named at ARG3 of the library at ARG2.
void push_class_object(VmState* L, const char* not_an_implementation, bool with_events) {
  check_implementation(L, ARG1, not_an_implementation);
  ComRef<ITypeInfo> coclass = coclass_argument(L);
  ComRef<ITypeInfo> iface = ComRef<ITypeInfo>::adopt(default_interface(coclass.get(), false));
  if (!iface) runtime_error_text(L, NO_DEFAULT_INTERFACE);
  ComRef<IDispatch> object = ComRef<IDispatch>::adopt(
      new_typed_script_object(L, ARG1, iface.get(), coclass.get(), with_events));
  push_dispatch_object(L, object.get());
}

}  // namespace

// com.ImplInterfaceFromTypelib(implementation, library, class name): the class's default
// interface, with the class's information.
int impl_interface_from_typelib(VmState* L) {
  push_class_object(L, "Implementation must be a table or a userdata", false);
  return 1;
}

// com.NewObject(implementation, library, class name): as above; the class's event interfaces
// get connection points.
int new_object(VmState* L) {
  push_class_object(L, "Implementation must be a table object or a cdata", true);
  return 1;
}

}  // namespace quevro::com
