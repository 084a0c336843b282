// Type library descriptions written as script tables: what `com.LoadTypeLibrary` reads.
//
//   { name = "Shapes"; guid = "{...}";            -- guids are optional everywhere
//     types = {
//       { name = "IShape"; kind = "dispatch";       -- "dispatch", "interface" or "coclass"
//         members = {
//           { name = "Area"; kind = "method"; result = "double";
//             params = { { name = "scale"; type = "double" } } },
//           { name = "Name"; kind = "get"; result = "string" },   -- "get", "put", "putref"
//           { name = "Name"; kind = "put"; params = { { name = "value"; type = "string" } } },
//           { name = "Grow"; params = { { name = "size"; type = "int&"; out = true } } } } },
//       { name = "Shape"; kind = "coclass";
//         implements = { "IShape", { name = "IShapeEvents"; source = true; default = true } } } } }
//
// Types are the declaration keywords ("int", "double", "string", "bool", "date", "object",
// "variant", ...), with "[]" for an array and "&" for a reference, or a VARTYPE number. Members
// without an `id` are numbered from 1 in order; members of one name share one identifier. A
// type without a `guid` gets one made from the library's and its own name, so it is the same
// every time the description is loaded.
#pragma once

#include <string>

#include "com/type_library.h"
#include "vm/api.h"

namespace quevro::com {

// The string in the field of the table at idx (no metamethods); empty when it holds none.
std::string text_field(VmState* L, int idx, const char* field);

// Reads the description table at idx; false with the reason in *error when it is malformed.
bool read_type_library_description(VmState* L, int idx, TypeLibraryDescription* out, std::string* error);

}  // namespace quevro::com
