// The last system error of each thread, numbered as scripts know system errors (the Windows error
// codes, so that scripts and the application's modules compare them with the numbers they know),
// and the text for each number. Native calls and the loaders leave their failures here; `lasterr`
// reads them back.
#pragma once

#include <cstdint>
#include <string>

namespace quevro {

inline constexpr uint32_t ERROR_SUCCESS_CODE = 0;
// C library errors without a Windows counterpart keep their errno value under the bit that
// marks application-defined codes, so no two errors share a number.
inline constexpr uint32_t ERRNO_CODE_BIT = 0x20000000;

uint32_t last_system_error();
void set_last_system_error(uint32_t code);

// The number for a C library errno value: ERROR_FILE_NOT_FOUND for ENOENT, ERROR_ACCESS_DENIED
// for EACCES, and so on; ERRNO_CODE_BIT | e where no counterpart exists.
uint32_t system_error_from_errno(int e);

// The text for a number ("The system cannot find the file specified."); for a code made from an
// errno value, the C library's text for it.
std::string system_error_text(uint32_t code);

}  // namespace quevro
