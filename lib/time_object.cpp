#include "lib/time_object.h"

#include <cmath>
#include <cstring>

#include "lib/time_errors.h"
#include "lib/time_format.h"
#include "vm/arguments.h"

namespace quevro {

namespace {

// A field's number; a field that holds none counts as 0.
double number_field(VmState* L, int idx, const char* name) {
  raw_get_field(L, idx, name);
  double n = is_number(L, -1) ? to_number(L, -1) : 0;
  pop(L, 1);
  return n;
}

// A number as an int: fractions are cut toward zero and values beyond an int are clamped, so that
// every field fails or passes its range check cleanly; NaN fails every range.
int clamp_to_int(double n) {
  if (n != n || n <= -2147483648.0) return INT32_MIN;
  if (n >= 2147483647.0) return INT32_MAX;
  return static_cast<int>(n);
}

int field_value(VmState* L, int idx, const char* name) { return clamp_to_int(number_field(L, idx, name)); }

void check_range(VmState* L, int value, int lo, int hi, const char* message) {
  if (value < lo || value > hi) invalid_time_field(L, message, value);
}

void set_number_field(VmState* L, int idx, const char* name, double value) {
  push_string(L, name);
  push_number(L, value);
  raw_set(L, idx);
}

void set_text_field(VmState* L, int idx, const char* name, const char* text, size_t len) {
  push_string(L, name);
  push_lstring(L, text, len);
  raw_set(L, idx);
}

// The string field name of the table at idx, or null.
const char* text_field(VmState* L, int idx, const char* name, size_t* len) {
  raw_get_field(L, idx, name);
  const char* s = type_of(L, -1) == TAG_STRING ? to_lstring(L, -1, len) : nullptr;
  pop(L, 1);  // the string stays reachable from the table
  return s;
}

inline int absolute(VmState* L, int idx) { return idx < 0 && idx > REGISTRY_INDEX ? get_top(L) + idx + 1 : idx; }

}  // namespace

void push_datetime_metatable(VmState* L) {
  registry_subtable(L, TIME_LIBRARY);
  raw_get_field(L, -1, DATETIME_TYPE);
  remove(L, -2);
}

bool is_time_struct(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_TABLE) return false;
  size_t len;
  const char* s = text_field(L, idx, "_struct", &len);
  return s && std::string_view(s, len) == SYSTEMTIME_DECLARATION;
}

bool is_time_object(VmState* L, int idx) {
  idx = absolute(L, idx);
  if (!is_time_struct(L, idx) || !get_metatable(L, idx)) return false;
  raw_get_field(L, -1, "utc");
  bool has_utc = type_of(L, -1) == TAG_FUNCTION;
  pop(L, 2);
  return has_utc;
}

void check_time_object(VmState* L, int idx) {
  if (!is_time_object(L, idx)) invalid_datetime_error(L, idx);
}

CivilTime read_fields(VmState* L, int idx) {
  CivilTime t;
  t.dayofweek = field_value(L, idx, "dayofweek");
  t.month = field_value(L, idx, "month");
  t.day = field_value(L, idx, "day");
  t.hour = field_value(L, idx, "hour");
  t.minute = field_value(L, idx, "minute");
  t.second = field_value(L, idx, "second");
  t.year = field_value(L, idx, "year");
  // Milliseconds have no range of their own (update carries them into the seconds); NaN counts
  // as none.
  double milliseconds = number_field(L, idx, "milliseconds");
  t.milliseconds = milliseconds != milliseconds ? 0 : clamp_to_int(milliseconds);
  check_range(L, t.dayofweek, 0, 6, INVALID_DAYOFWEEK);
  check_range(L, t.month, 1, 12, INVALID_MONTH);
  check_range(L, t.day, 1, 31, INVALID_DAY);
  check_range(L, t.hour, 0, 23, INVALID_HOUR);
  check_range(L, t.minute, 0, 59, INVALID_MINUTE);
  check_range(L, t.second, 0, 59, INVALID_SECOND);
  check_range(L, t.year, MIN_YEAR, MAX_YEAR, INVALID_YEAR);
  raw_get_field(L, idx, "isdst");
  t.isdst = to_boolean(L, -1);
  pop(L, 1);
  return t;
}

void write_fields(VmState* L, int idx, const CivilTime& t) {
  idx = absolute(L, idx);
  set_number_field(L, idx, "year", t.year);
  set_number_field(L, idx, "month", t.month);
  set_number_field(L, idx, "dayofweek", t.dayofweek);
  set_number_field(L, idx, "day", t.day);
  set_number_field(L, idx, "hour", t.hour);
  set_number_field(L, idx, "minute", t.minute);
  set_number_field(L, idx, "second", t.second);
  set_number_field(L, idx, "milliseconds", t.milliseconds);
  push_string(L, "isdst");
  if (t.isdst)
    push_number(L, 1);
  else
    push_null(L);
  raw_set(L, idx);
}

std::string format_of(VmState* L, int idx) {
  size_t len;
  const char* s = text_field(L, idx, "formatString", &len);
  return s ? std::string(s, len) : std::string(DEFAULT_TIME_FORMAT);
}

bool is_utc_object(VmState* L, int idx) {
  size_t len;
  const char* s = text_field(L, idx, "formatString", &len);
  return s && len > 0 && s[0] == '!';
}

TimeLocale locale_of(VmState* L, int idx) {
  TimeLocale locale;
  raw_get_field(L, idx, "locale");
  if (type_of(L, -1) > static_cast<int>(TAG_NULL)) {
    size_t len;
    const char* name = type_of(L, -1) == TAG_STRING ? to_lstring(L, -1, &len) : nullptr;
    if (name == nullptr || !TimeLocale::find(name, len, &locale)) invalid_locale_error(L, idx);
  }
  pop(L, 1);
  return locale;
}

void push_time_object(VmState* L, const CivilTime& t, std::string_view format, const char* locale, size_t locale_len) {
  new_table(L, 0, 12);
  int obj = get_top(L);
  write_fields(L, obj, t);
  set_text_field(L, obj, "formatString", format.data(), format.size());
  if (locale) set_text_field(L, obj, "locale", locale, locale_len);
  set_text_field(L, obj, "_struct", SYSTEMTIME_DECLARATION, std::strlen(SYSTEMTIME_DECLARATION));
  push_datetime_metatable(L);
  set_metatable(L, obj);
}

int64_t seconds_of(VmState* L, const CivilTime& t, bool utc) {
  int64_t seconds;
  if (!compose(t, utc, &seconds)) out_of_range_error(L);
  return seconds;
}

int64_t object_seconds(VmState* L, int idx) { return seconds_of(L, read_fields(L, idx), is_utc_object(L, idx)); }

int64_t object_milliseconds(VmState* L, int idx) {
  CivilTime t = read_fields(L, idx);
  return seconds_of(L, t, is_utc_object(L, idx)) * 1000 + t.milliseconds;
}

CivilTime fields_at(VmState* L, int64_t ms, bool utc) {
  CivilTime t;
  if (!break_down(floor_div(ms, 1000), utc, &t)) out_of_range_error(L);
  t.milliseconds = static_cast<int>(ms - floor_div(ms, 1000) * 1000);
  return t;
}

// A format argument (picture formats translated), or the default one.
std::string format_argument(VmState* L, int idx, std::string_view fallback) {
  if (is_none_or_null(L, idx)) return std::string(fallback);
  size_t len;
  const char* s = check_lstring(L, idx, &len);
  return translate_picture(std::string_view(s, len));
}

LocaleArgument locale_argument(VmState* L, int idx) {
  LocaleArgument a;
  if (is_none_or_null(L, idx)) return a;
  a.name = check_lstring(L, idx, &a.len);
  if (!TimeLocale::find(a.name, a.len, &a.locale)) invalid_locale_error(L, idx);
  return a;
}

void check_format(VmState* L, std::string_view format) {
  size_t bad = invalid_directive(format);
  if (bad != std::string_view::npos) invalid_directive_error(L, format.substr(bad));
}

// The text of the time object at idx by the format (checked first) in the locale.
void push_formatted(VmState* L, int idx, const std::string& format, const TimeLocale& locale) {
  check_format(L, format);
  CivilTime t = read_fields(L, idx);
  std::string out;
  format_time(t, is_utc_object(L, idx), format, locale, out);
  push_lstring(L, out.data(), out.size());
}

// Formats the time object at idx with the format and locale arguments at format_idx and
// locale_idx, each defaulting to the object's own.
void push_object_text(VmState* L, int idx, int format_idx, int locale_idx) {
  std::string format = format_argument(L, format_idx, format_of(L, idx));
  TimeLocale locale = is_none_or_null(L, locale_idx) ? locale_of(L, idx) : locale_argument(L, locale_idx).locale;
  push_formatted(L, idx, format, locale);
}

}  // namespace quevro
