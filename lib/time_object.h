// Time objects: tables with the fields of a SYSTEMTIME (so they pass to native functions as one),
// the format their text uses and an optional locale. Their metatable is the registered type
// datetime of the library time. A format that starts with '!' makes the fields UTC; otherwise
// they are local time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lib/time_calendar.h"
#include "lib/time_locale.h"
#include "vm/api.h"

namespace quevro {

constexpr const char* TIME_LIBRARY = "time";
constexpr const char* DATETIME_TYPE = "datetime";
constexpr const char* SYSTEMTIME_DECLARATION =
    "WORD year;WORD month;WORD dayofweek;WORD day;WORD hour;WORD minute;WORD second;WORD milliseconds";

// Pushes the metatable of time objects.
void push_datetime_metatable(VmState* L);

// time.isStruct: a table whose `_struct` is the SYSTEMTIME declaration.
bool is_time_struct(VmState* L, int idx);
// time.is: such a table whose metatable has the method `utc`.
bool is_time_object(VmState* L, int idx);
// As is_time_object, raising "Invalid datetime!" at idx otherwise.
void check_time_object(VmState* L, int idx);

// The date and time fields of the table at idx, checked against their ranges (raising the
// "Invalid time:" messages). Missing fields count as 0.
CivilTime read_fields(VmState* L, int idx);
// Stores the fields into the time object at idx; `isdst` is present only in daylight time.
void write_fields(VmState* L, int idx, const CivilTime& t);

// The object's format (the default one when it has none) and whether it is UTC.
std::string format_of(VmState* L, int idx);
bool is_utc_object(VmState* L, int idx);

// The object's locale; raises "Invalid locale!" at idx when it names none this system has.
TimeLocale locale_of(VmState* L, int idx);

// A new time object of the fields, format and locale (locale null for none), on the stack top.
void push_time_object(VmState* L, const CivilTime& t, std::string_view format, const char* locale, size_t locale_len);

// Seconds since 1970 that the fields name, as UTC or local time; raises "datetime out of
// range!" when they cannot be computed.
int64_t seconds_of(VmState* L, const CivilTime& t, bool utc);
// The time object's numeric value (seconds since 1970) and its milliseconds-since-1970 value.
int64_t object_seconds(VmState* L, int idx);
int64_t object_milliseconds(VmState* L, int idx);

// Fields of the instant ms (milliseconds since 1970), as UTC or local time; raises "datetime out
// of range!" outside the years a time may hold.
CivilTime fields_at(VmState* L, int64_t ms, bool utc);

// A format argument (picture formats translated), or fallback when there is none.
std::string format_argument(VmState* L, int idx, std::string_view fallback);

// A locale argument; the name stays valid while its argument slot holds it.
struct LocaleArgument {
  TimeLocale locale;
  const char* name = nullptr;
  size_t len = 0;
};
// Raises "Invalid locale!" at idx for a name this system has no locale for.
LocaleArgument locale_argument(VmState* L, int idx);

// Raises "Invalid format directive(...)" for a format with a directive that is not allowed.
void check_format(VmState* L, std::string_view format);

// Pushes the text of the time object at idx by the format (checked first) in the locale.
void push_formatted(VmState* L, int idx, const std::string& format, const TimeLocale& locale);
// Pushes the text of the time object at idx by the format and locale arguments at format_idx
// and locale_idx, each defaulting to the object's own.
void push_object_text(VmState* L, int idx, int format_idx, int locale_idx);

}  // namespace quevro
