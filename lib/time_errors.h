// The time library's error messages, all in one place.
#pragma once

#include <string>
#include <string_view>

#include "vm/arguments.h"

namespace quevro {

// A field of a time outside its range.
[[noreturn]] inline void invalid_time_field(VmState* L, const char* message_format, int value) {
  library_error(L, message_format, value);
}

constexpr const char* INVALID_DAYOFWEEK = "Invalid time:Invalid dayofweek(%d) outside valid range(0~6)";
constexpr const char* INVALID_MONTH = "Invalid time:Invalid month(%d) outside valid range(1~12)";
constexpr const char* INVALID_DAY = "Invalid time:Invalid day(%d) outside valid range(1~31)";
constexpr const char* INVALID_HOUR = "Invalid time:hour(%d) outside valid range(0~23)";
constexpr const char* INVALID_MINUTE = "Invalid time:minute (%d) outside valid range(0~59)";
constexpr const char* INVALID_SECOND = "Invalid time:second(%d) outside valid range(0~59)";
constexpr const char* INVALID_YEAR = "Invalid time:year(%d) outside valid range(1900~9999)";

// A format holding a directive that is not allowed; rest is the format from that directive on.
[[noreturn]] inline void invalid_directive_error(VmState* L, std::string_view rest) {
  library_error(L, "Invalid format directive(...%s)", std::string(rest).c_str());
}

// A time that cannot be computed: beyond the years a time may hold, or not a number at all.
[[noreturn]] inline void out_of_range_error(VmState* L) { library_error(L, "datetime out of range!"); }

[[noreturn]] inline void invalid_locale_error(VmState* L, int index) { arg_error(L, index, "Invalid locale!"); }

[[noreturn]] inline void invalid_datetime_error(VmState* L, int index) { arg_error(L, index, "Invalid datetime!"); }

}  // namespace quevro
