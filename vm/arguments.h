// Argument checks for native library functions and the errors they raise. Indices are stack
// slots: 1 is the owner, visible arguments start at 2; messages number them one lower.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vm/format.h"
#include "vm/state.h"

namespace quevro {

// The slots of the first visible arguments (slot 1 is the owner).
constexpr int ARG1 = 2;
constexpr int ARG2 = 3;
constexpr int ARG3 = 4;
constexpr int ARG4 = 5;
constexpr int ARG5 = 6;

// Raises the library error: the caller's position prefix followed by the message.
[[noreturn]] void library_error_text(VmState* L, const std::string& message);
template <class... A>
[[noreturn]] void library_error(VmState* L, const char* fmt, A... args) {
  library_error_text(L, format_message(fmt, args...));
}

[[noreturn]] void arg_error(VmState* L, int index, const char* text);
// "\n{Expected}:<expected>\n{Got}:<type name>" as an argument error.
[[noreturn]] void type_arg_error(VmState* L, int index, const char* expected);

void check_any(VmState* L, int index);  // "\n{Expected}:value " when missing
void check_type(VmState* L, int index, int tag);
double check_number(VmState* L, int index);
double opt_number(VmState* L, int index, double fallback);
int32_t check_integer(VmState* L, int index);
int32_t opt_integer(VmState* L, int index, int32_t fallback);
const char* check_lstring(VmState* L, int index, size_t* len);
const char* opt_lstring(VmState* L, int index, const char* fallback, size_t* len);
TableObject* check_table(VmState* L, int index);
bool is_none_or_null(VmState* L, int index);

// A library handle: a cdata whose metatable is registry[library][type_name]; a released handle
// (null first word) raises the closed-object message.
void* check_object(VmState* L, int index, const char* library, const char* type_name);

}  // namespace quevro
