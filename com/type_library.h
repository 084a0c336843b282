// Type libraries made from descriptions: the interfaces, dispatch interfaces and classes of a
// library with their members, built by the project's own code (from a script's description
// table, or by C++ for the objects it implements) and answered through ITypeLib and ITypeInfo.
#pragma once

#include <string>
#include <vector>

#include "com/type_info.h"

namespace quevro::com {

struct ParameterDescription {
  std::string name;
  VARTYPE type = VT_VARIANT;
  WORD flags = PARAMFLAG_FIN;
};

struct MemberDescription {
  std::string name;
  MEMBERID id = 0;
  INVOKEKIND kind = INVOKE_FUNC;
  VARTYPE result = VT_EMPTY;  // VT_EMPTY: no result
  std::vector<ParameterDescription> parameters;
};

// An interface a class implements, by name, with IMPLTYPEFLAG_* flags.
struct ImplementedDescription {
  std::string name;
  int32_t flags = 0;
};

struct TypeDescription {
  std::string name;
  GUID guid{};
  TYPEKIND kind = TKIND_DISPATCH;
  std::vector<MemberDescription> members;          // interfaces
  std::vector<ImplementedDescription> implemented;  // classes
};

struct TypeLibraryDescription {
  std::string name;
  GUID guid{};
  std::vector<TypeDescription> types;
};

// A library for the description, with one reference for the caller. E_INVALIDARG when it does
// not hold together: a class naming an interface the library lacks, two types of one name, a
// member with an identifier another member of a different name has.
HRESULT new_type_library(const TypeLibraryDescription& description, ITypeLib** out);

}  // namespace quevro::com
