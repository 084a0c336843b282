// The texts of failed automation calls. Every message that carries an HRESULT is formatted here,
// so the code's name and number always read the same way.
#pragma once

#include <string>

#include "com/com_types.h"

namespace quevro::com {

// The system message of the code followed directly by its name and number, e.g.
// "Type mismatch.(DISP_E_TYPEMISMATCH,0x80020005)"; empty when the system has no message.
std::string hresult_text(HRESULT hr);

// "COM error", a line break, and the code's text: what a failed call other than an automation
// exception reports.
std::string com_error_text(HRESULT hr);

}  // namespace quevro::com
