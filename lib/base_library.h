// The base library: global functions and the `type` and `fiber` namespaces.
#pragma once

#include <string>

#include "vm/state.h"

namespace quevro {

void open_base_library(VmState* L);

// Pushes the text of the value at idx as the global `tostring` makes it (no base or point).
void push_tostring(VmState* L, int idx);
// A number's text: integral values up to 2^53 with all digits, others as "%.14g".
std::string number_text(double n);

// The error handler behind `callex` and the host: lets the global `onError` replace the error.
int standard_error_handler(VmState* L);

}  // namespace quevro
