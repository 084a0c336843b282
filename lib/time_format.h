// Time texts: picture formats ("yyyy-MM-dd"), the check of a format's directives, and writing
// and reading texts by strftime-style directives in a locale.
//
// The directives a format may hold: %% %a %A %b %B %c %d %H %I %j %m %M %p %S %U %w %W %x %X
// %y %Y %Z, each optionally written with '#' after the '%'. The '#' removes leading zeros from
// numbers, and makes %c and %x use the long date ("Tuesday, March 14, 1995"). A leading '!'
// marks a format for UTC times and is not part of the text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "lib/time_calendar.h"
#include "lib/time_locale.h"

namespace quevro {

constexpr std::string_view DEFAULT_TIME_FORMAT = "%Y/%m/%d %H:%M:%S";

inline bool is_utc_format(std::string_view format) { return !format.empty() && format[0] == '!'; }

// A format without '%' is a picture format: runs of y, M, d, H, h, m, s, Z and A/a/t become
// directives, everything else is copied. Other formats come back unchanged.
std::string translate_picture(std::string_view format);

// The offset of the first '%' that starts no allowed directive, or npos.
size_t invalid_directive(std::string_view format);

// Appends the text of t by the format (already checked). t's zone fields need not be filled;
// they are looked up when a directive shows them.
void format_time(const CivilTime& t, bool utc, std::string_view format, const TimeLocale& locale, std::string& out);

// Reads text by the format (already checked): the date and time fields, and milliseconds from a
// fraction after the seconds (",5" or ".250"). False when the text does not match the format or
// a field lies outside its range (including a day beyond the end of its month).
bool parse_time(std::string_view text, std::string_view format, const TimeLocale& locale, CivilTime* out);

}  // namespace quevro
