// The automation functions a separately built library (one loaded from memory, such as the web
// view library) needs in order to exchange VARIANTs with this process's objects: strings, arrays
// and VARIANTs must be made and freed by the same allocator on both sides, as with the system's
// automation library elsewhere. The executable exports one C symbol, `quevro_automation_abi`,
// which answers a table of plain function pointers; the library finds it with dlsym and checks
// the table's size before use. Fields are only ever appended.
#pragma once

#include <cstdint>

#include "com/safearray.h"
#include "com/variant.h"

namespace quevro::com {

struct AutomationAbi {
  uint32_t size;  // sizeof(AutomationAbi) of the exporting side
  BSTR (*alloc_string)(const OLECHAR* text, UINT length);
  void (*free_string)(BSTR text);
  UINT (*string_length)(BSTR text);
  HRESULT (*variant_clear)(VARIANT* v);
  HRESULT (*variant_copy)(VARIANT* dest, const VARIANT* src);
  HRESULT (*change_type)(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt);
  SAFEARRAY* (*create_vector)(VARTYPE vt, LONG lower_bound, ULONG count);
  UINT (*array_dims)(SAFEARRAY* array);
  HRESULT (*array_lower_bound)(SAFEARRAY* array, UINT dim, LONG* out);
  HRESULT (*array_upper_bound)(SAFEARRAY* array, UINT dim, LONG* out);
  HRESULT (*array_vartype)(SAFEARRAY* array, VARTYPE* out);
  HRESULT (*array_element)(SAFEARRAY* array, const LONG* indices, void** out);
  // The code's text as scripts see it (message, name and number) in UTF-8 into buffer (always
  // zero-terminated when capacity > 0); answers the full length.
  UINT (*error_text)(HRESULT hr, char* buffer, UINT capacity);
};

}  // namespace quevro::com

extern "C" const quevro::com::AutomationAbi* quevro_automation_abi();
