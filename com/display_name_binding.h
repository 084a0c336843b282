// What com.GetObject binds a name to when it is not a class: the path of an existing file gives a
// new instance of the class registered for the file's extension (class_registry.h), loaded from
// the file (IPersistFile::Load, read-only). Other names cannot be bound here: a path of a file
// that does not exist gives MK_E_CANTOPENFILE, a name in the form of a ProgID that no class has
// CO_E_CLASSSTRING, anything else MK_E_SYNTAX.
#pragma once

#include <string_view>

#include "com/com_types.h"

namespace quevro::com {

// The object the name binds to, answering IDispatch (one reference in *object).
HRESULT bind_display_name(std::string_view name, IDispatch** object);

}  // namespace quevro::com
