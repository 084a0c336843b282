// Type libraries and type information in scripts, and the script objects made over them:
// `com.LoadTypeLibrary` (a description table, see type_library_reader.h), `com.GetTypeInfo`,
// `com.ImplInterface` with a library, `com.ImplInterfaceFromTypelib` and `com.NewObject`.
#pragma once

#include "com/type_info.h"
#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* TYPELIB_TYPE = "ITypeLib";
inline constexpr const char* TYPEINFO_TYPE = "ITypeInfo";

void register_type_library_types(VmState* L);

// The library of the ITypeLib object at idx; raises "Could not load type library." otherwise.
ITypeLib* check_type_library(VmState* L, int idx);

int load_type_library(VmState* L);
int get_type_info(VmState* L);
// com.ImplInterface(implementation, library, interface name)
int impl_typed_interface(VmState* L);
int impl_interface_from_typelib(VmState* L);
int new_object(VmState* L);

}  // namespace quevro::com
