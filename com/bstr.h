// BSTR: the automation string. The pointer points at the first UTF-16 unit; the four bytes
// before it hold the length in bytes, and one zero unit follows the text. Strings may hold
// zero units and (made by SysAllocStringByteLen) an odd number of bytes, so their length is
// always read from the prefix, never by scanning. A null BSTR is the empty string.
#pragma once

#include <string>
#include <string_view>

#include "com/com_types.h"

namespace quevro::com {

using BSTR = OLECHAR*;

// A copy of the zero-terminated text; null for a null argument or when memory runs out.
BSTR SysAllocString(const OLECHAR* text);
// A string of `length` units copied from text, or zero-filled when text is null.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// A string of `length` bytes copied from bytes (zero-filled when null), followed by a zero unit.
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Replaces *target by a copy of text (which may point into *target). 1 on success, else 0 and
// *target unchanged.
int SysReAllocString(BSTR* target, const OLECHAR* text);
int SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
// Length in units (bytes / 2, rounded down) and in bytes; 0 for null.
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

// Conversions with the project's UTF-8 text. Malformed input is replaced as vm/utf.h describes.
BSTR bstr_from_utf8(std::string_view text);
std::string utf8_from_bstr(BSTR text);
// For zero-terminated texts that are not BSTRs (names passed to GetIDsOfNames).
std::string utf8_from_wide(std::u16string_view text);
std::u16string_view bstr_view(BSTR text);

}  // namespace quevro::com
