// Values between the page and automation objects. What the page passes (a value the script-message
// channel carried over) becomes a VARIANT: undefined nothing (VT_EMPTY), null VT_NULL, booleans
// VT_BOOL, whole numbers that fit 32 bits VT_I4 and other numbers VT_R8, strings VT_BSTR, dates
// VT_DATE, arrays a SAFEARRAY of VARIANTs, and other objects a PageObject. A VARIANT that comes
// back becomes the text of a JavaScript expression the page evaluates.
#pragma once

#include <jsc/jsc.h>

#include <string>

#include "automation_abi.h"

namespace webview_com {

// Fills *out (which holds nothing); false with the reason in *error when the value cannot cross
// (nested too deeply, a function, a symbol); *out then holds nothing.
bool page_value_to_variant(JSCValue* value, VARIANT* out, std::string* error);

// Appends the JavaScript expression for v; false with the reason when it cannot be sent (an
// automation object that is not one of the page's own, a type without a page value).
bool variant_to_script(const VARIANT* v, std::string* out, std::string* error);

// A JavaScript string literal for UTF-16 text, and for UTF-8 text.
void append_string_literal(const char16_t* text, size_t length, std::string* out);
std::string string_literal(const std::string& utf8);

}  // namespace webview_com
