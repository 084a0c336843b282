#include "lib/time_library.h"

#include <time.h>

#include <cmath>
#include <string>

#include "runtime/library_registry.h"
#include "lib/library_support.h"
#include "lib/time_errors.h"
#include "lib/time_format.h"
#include "lib/time_methods.h"
#include "lib/time_object.h"
#include "vm/calls.h"

namespace quevro {

namespace {

int64_t clock_milliseconds(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// Seconds since 1970 (a fraction gives milliseconds) as milliseconds; raises "datetime out of
// range!" for what no time object can hold (NaN and infinities included).
int64_t milliseconds_from_seconds(VmState* L, double seconds) {
  constexpr double FARTHEST = 1e13;  // well beyond the year 9999 either way
  if (!(std::fabs(seconds) < FARTHEST)) out_of_range_error(L);
  double whole = std::floor(seconds);
  return static_cast<int64_t>(whole) * 1000 + std::llround((seconds - whole) * 1000);
}

// The fields of a time made from the value at idx: the current time for nothing, seconds since
// 1970, text read by the format, or a table's fields; false when text does not parse.
bool fields_from_value(VmState* L, int idx, const std::string& format, const TimeLocale& locale, CivilTime* out) {
  bool utc = is_utc_format(format);
  switch (type_of(L, idx)) {
    case TYPE_NONE:
    case TAG_NULL: *out = fields_at(L, clock_milliseconds(CLOCK_REALTIME), utc); return true;
    case TAG_NUMBER: *out = fields_at(L, milliseconds_from_seconds(L, to_number(L, idx)), utc); return true;
    case TAG_STRING: {
      check_format(L, format);
      size_t len;
      const char* text = to_lstring(L, idx, &len);
      CivilTime read;
      if (!parse_time(std::string_view(text, len), format, locale, &read)) return false;
      *out = fields_at(L, seconds_of(L, read, utc) * 1000 + read.milliseconds, utc);
      return true;
    }
    case TAG_TABLE: {
      CivilTime given = read_fields(L, idx);
      *out = fields_at(L, seconds_of(L, given, utc) * 1000 + given.milliseconds, utc);
      return true;
    }
    default: type_arg_error(L, idx, "number/string/table");
  }
}

// Pushes a new time object made from the value at idx with the format and locale; returns false,
// pushing nothing, when text does not parse.
bool push_constructed(VmState* L, int idx, const std::string& format, const LocaleArgument& locale) {
  CivilTime t;
  if (!fields_from_value(L, idx, format, locale.locale, &t)) return false;
  push_time_object(L, t, format, locale.name, locale.len);
  return true;
}

int time_call(VmState* L) {
  std::string format = format_argument(L, ARG2, DEFAULT_TIME_FORMAT);
  LocaleArgument locale = locale_argument(L, ARG3);
  return push_constructed(L, ARG1, format, locale) ? 1 : 0;
}

int time_now(VmState* L) {
  std::string format = format_argument(L, ARG1, DEFAULT_TIME_FORMAT);
  LocaleArgument locale = locale_argument(L, ARG2);
  set_top(L, ARG2);
  push_constructed(L, ARG3, format, locale);  // ARG3 is empty: the current time
  return 1;
}

int time_format(VmState* L) {
  if (is_time_object(L, ARG1)) {
    push_object_text(L, ARG1, ARG2, ARG3);
    return 1;
  }
  // Any other value is formatted as the time object it would make, without making one.
  std::string format = format_argument(L, ARG2, DEFAULT_TIME_FORMAT);
  LocaleArgument locale = locale_argument(L, ARG3);
  CivilTime t;
  if (!fields_from_value(L, ARG1, format, locale.locale, &t)) return 0;
  check_format(L, format);
  std::string out;
  format_time(t, is_utc_format(format), format, locale.locale, out);
  push_lstring(L, out.data(), out.size());
  return 1;
}

int time_is_struct(VmState* L) {
  push_boolean(L, is_time_struct(L, ARG1));
  return 1;
}

int time_is(VmState* L) {
  push_boolean(L, is_time_object(L, ARG1));
  return 1;
}

int time_tick(VmState* L) {
  push_number(L, static_cast<double>(clock_milliseconds(CLOCK_MONOTONIC)));
  return 1;
}

int time_stamp(VmState* L) {
  bool as_string = to_boolean(L, ARG1);
  int64_t value = to_boolean(L, ARG2) ? static_cast<int64_t>(::time(nullptr)) : clock_milliseconds(CLOCK_REALTIME);
  if (as_string) {
    std::string text = std::to_string(value);
    push_lstring(L, text.data(), text.size());
  } else {
    push_number(L, static_cast<double>(value));
  }
  return 1;
}

const LibraryFunction TIME_FUNCTIONS[] = {
    {"format", time_format}, {"isStruct", time_is_struct}, {"is", time_is}, {"tick", time_tick},
    {"stamp", time_stamp},   {"now", time_now},             {nullptr, nullptr},
};

}  // namespace

void open_time_library(VmState* L) {
  ensure_stack(L, 8);
  register_datetime_type(L);
  register_library(L, TIME_LIBRARY, TIME_FUNCTIONS);
  // Calling the namespace constructs a time object.
  new_table(L, 0, 1);
  push_string(L, "_call");
  push_function(L, time_call);
  raw_set(L, -3);
  set_metatable(L, -2);
  pop(L, 1);
}

}  // namespace quevro
