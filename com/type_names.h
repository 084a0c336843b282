// The declaration keywords of automation types, as generated declarations and parameter lists
// spell them for the native-call layer.
#pragma once

#include <string>

#include "com/variant.h"

namespace quevro::com {

// The keyword of the base type, then "[]" for an array and "&" for a reference.
std::string declaration_type_name(VARTYPE vt);

}  // namespace quevro::com
