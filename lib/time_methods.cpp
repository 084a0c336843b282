#include "lib/time_methods.h"

#include <cmath>
#include <string>

#include "runtime/library_registry.h"
#include "lib/base_library.h"
#include "lib/library_support.h"
#include "lib/string_library.h"
#include "lib/time_errors.h"
#include "lib/time_format.h"
#include "lib/time_object.h"
#include "vm/calls.h"

namespace quevro {

namespace {

// Methods and metamethods get the time object as their owner.
constexpr int OWNER = 1;

// The pseudo-field "format" stands for the object's formatString.
bool is_format_key(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_STRING) return false;
  size_t len;
  const char* key = to_lstring(L, idx, &len);
  return std::string_view(key, len) == "format";
}

int datetime_get(VmState* L) {
  if (is_format_key(L, ARG1)) {
    raw_get_field(L, OWNER, "formatString");
    return 1;
  }
  if (type_of(L, OWNER) != TAG_TABLE || !get_metatable(L, OWNER)) return 0;
  push_value(L, ARG1);
  raw_get(L, -2);
  return 1;
}

int datetime_set(VmState* L) {
  check_table(L, OWNER);
  if (is_format_key(L, ARG1)) {
    push_string(L, "formatString");
    if (type_of(L, ARG2) == TAG_STRING) {
      size_t len;
      const char* s = to_lstring(L, ARG2, &len);
      std::string format = translate_picture(std::string_view(s, len));
      push_lstring(L, format.data(), format.size());
    } else {
      push_value(L, ARG2);
    }
  } else {
    push_value(L, ARG1);
    push_value(L, ARG2);
  }
  raw_set(L, OWNER);
  return 0;
}

int datetime_tostring(VmState* L) {
  check_time_object(L, OWNER);
  push_object_text(L, OWNER, ARG1, ARG2);
  return 1;
}

int datetime_tonumber(VmState* L) {
  check_time_object(L, OWNER);
  push_number(L, static_cast<double>(object_seconds(L, OWNER)));
  return 1;
}

// Seconds as text: the whole seconds, and the milliseconds as a fraction when there are any.
std::string seconds_text(int64_t ms) {
  uint64_t magnitude = ms < 0 ? 0 - static_cast<uint64_t>(ms) : static_cast<uint64_t>(ms);
  std::string text = (ms < 0 ? "-" : "") + std::to_string(magnitude / 1000);
  unsigned fraction = static_cast<unsigned>(magnitude % 1000);
  if (fraction) {
    char digits[4] = {static_cast<char>('0' + fraction / 100), static_cast<char>('0' + fraction / 10 % 10),
                      static_cast<char>('0' + fraction % 10), '\0'};
    std::string f(digits);
    f.erase(f.find_last_not_of('0') + 1);
    text += "." + f;
  }
  return text;
}

// A string literal the compiler reads back as the same text.
void append_literal(const char* s, size_t len, std::string& out) {
  std::string escaped;
  if (!escape_text(s, len, false, false, false, false, escaped)) {
    out += '"';
    out.append(s, len);
    out += '"';
  } else {
    out += '\'';
    out += escaped;
    out += '\'';
  }
}

// "time(seconds)", with the format when it is not the default one and the locale when there is
// one. Milliseconds are kept as a fraction of the seconds.
int datetime_serialize(VmState* L) {
  check_time_object(L, OWNER);
  std::string out = "time(" + seconds_text(object_milliseconds(L, OWNER));
  std::string format = format_of(L, OWNER);
  raw_get_field(L, OWNER, "locale");
  bool has_locale = type_of(L, -1) == TAG_STRING;
  if (has_locale || format != DEFAULT_TIME_FORMAT) {
    out += ',';
    append_literal(format.data(), format.size(), out);
  }
  if (has_locale) {
    size_t len;
    const char* locale = to_lstring(L, -1, &len);
    out += ',';
    append_literal(locale, len, out);
  }
  out += ')';
  push_lstring(L, out.data(), out.size());
  return 1;
}

// An operand of a comparison as seconds, through its `_tonumber`.
double compared_seconds(VmState* L, int idx) {
  if (get_metatable(L, idx)) {
    raw_get_field(L, -1, "_tonumber");
    if (type_of(L, -1) == TAG_FUNCTION) {
      push_value(L, idx);
      call(L, 1, 1);
      if (type_of(L, -1) == TAG_NUMBER) {
        double n = to_number(L, -1);
        pop(L, 2);
        return n;
      }
    }
  }
  invalid_datetime_error(L, idx);
}

int datetime_eq(VmState* L) {
  push_boolean(L, compared_seconds(L, OWNER) == compared_seconds(L, ARG1));
  return 1;
}

int datetime_lt(VmState* L) {
  push_boolean(L, compared_seconds(L, OWNER) < compared_seconds(L, ARG1));
  return 1;
}

int datetime_le(VmState* L) {
  push_boolean(L, compared_seconds(L, OWNER) <= compared_seconds(L, ARG1));
  return 1;
}

int datetime_concat(VmState* L) {
  set_top(L, ARG1);
  for (int idx : {OWNER, ARG1}) {
    if (is_none_or_null(L, idx))
      push_string(L, "");
    else
      push_tostring(L, idx);
  }
  concat(L, 2);
  return 1;
}

// Pushes the locale name of the time object at idx (null when it has none).
void push_locale_name(VmState* L, int idx) {
  raw_get_field(L, idx, "locale");
  if (type_of(L, -1) != TAG_STRING) {
    pop(L, 1);
    push_null(L);
  }
}

// A copy of the object as UTC or as local time; the format's '!' follows.
int convert(VmState* L, bool to_utc) {
  check_time_object(L, OWNER);
  int64_t ms = object_milliseconds(L, OWNER);
  std::string format = format_argument(L, ARG1, format_of(L, OWNER));
  if (to_utc && !is_utc_format(format)) format.insert(0, 1, '!');
  if (!to_utc && is_utc_format(format)) format.erase(0, 1);
  CivilTime t = fields_at(L, ms, to_utc);
  push_locale_name(L, OWNER);
  size_t len = 0;
  const char* locale = type_of(L, -1) == TAG_STRING ? to_lstring(L, -1, &len) : nullptr;
  push_time_object(L, t, format, locale, len);
  return 1;
}

int datetime_local(VmState* L) { return convert(L, false); }
int datetime_utc(VmState* L) { return convert(L, true); }

// Stores the fields of the instant ms into the object and returns it.
int move_to(VmState* L, int64_t ms) {
  write_fields(L, OWNER, fields_at(L, ms, is_utc_object(L, OWNER)));
  set_top(L, OWNER);
  return 1;
}

int datetime_update(VmState* L) {
  check_time_object(L, OWNER);
  return move_to(L, object_milliseconds(L, OWNER));
}

int add_seconds_times(VmState* L, double unit) {
  check_time_object(L, OWNER);
  double offset = check_number(L, ARG1) * unit * 1000;
  constexpr double FARTHEST = 1e16;  // milliseconds; far beyond the years a time may hold
  if (!(std::fabs(offset) < FARTHEST)) out_of_range_error(L);
  return move_to(L, object_milliseconds(L, OWNER) + std::llround(offset));
}

int datetime_add_seconds(VmState* L) { return add_seconds_times(L, 1); }
int datetime_add_minutes(VmState* L) { return add_seconds_times(L, 60); }
int datetime_add_hours(VmState* L) { return add_seconds_times(L, 3600); }
int datetime_add_days(VmState* L) { return add_seconds_times(L, 86400); }

// Calendar months: the day is cut to the new month's length (January 31 plus one month is the
// last day of February).
int datetime_add_months(VmState* L) {
  check_time_object(L, OWNER);
  double n = check_number(L, ARG1);
  constexpr double MOST_MONTHS = 12.0 * (MAX_YEAR - MIN_YEAR + 1);
  if (!(std::fabs(n) <= MOST_MONTHS)) out_of_range_error(L);
  CivilTime t = read_fields(L, OWNER);
  int64_t index = int64_t{t.month} - 1 + static_cast<int64_t>(n);
  int64_t year = t.year + floor_div(index, 12);
  if (year < MIN_YEAR || year > MAX_YEAR) out_of_range_error(L);
  t.year = static_cast<int>(year);
  t.month = static_cast<int>(index - floor_div(index, 12) * 12) + 1;
  int length = days_in_month(t.year, t.month);
  if (t.day > length) t.day = length;
  bool utc = is_utc_object(L, OWNER);
  return move_to(L, seconds_of(L, t, utc) * 1000 + t.milliseconds);
}

int diff_seconds_over(VmState* L, int64_t unit) {
  check_time_object(L, OWNER);
  check_time_object(L, ARG1);
  int64_t difference = object_seconds(L, OWNER) - object_seconds(L, ARG1);
  push_number(L, static_cast<double>(difference / unit));  // truncated toward zero
  return 1;
}

int datetime_diff_seconds(VmState* L) { return diff_seconds_over(L, 1); }
int datetime_diff_minutes(VmState* L) { return diff_seconds_over(L, 60); }
int datetime_diff_hours(VmState* L) { return diff_seconds_over(L, 3600); }
int datetime_diff_days(VmState* L) { return diff_seconds_over(L, 86400); }

int datetime_diff_months(VmState* L) {
  check_time_object(L, OWNER);
  check_time_object(L, ARG1);
  CivilTime a = read_fields(L, OWNER), b = read_fields(L, ARG1);
  push_number(L, (a.year - b.year) * 12.0 + (a.month - b.month));
  return 1;
}

int datetime_get_milli_time(VmState* L) {
  check_time_object(L, OWNER);
  push_number(L, static_cast<double>(object_milliseconds(L, OWNER)));
  return 1;
}

int datetime_set_milli_time(VmState* L) {
  check_time_object(L, OWNER);
  double ms = check_number(L, ARG1);
  constexpr double FARTHEST = 1e16;
  if (!(std::fabs(ms) < FARTHEST)) out_of_range_error(L);
  return move_to(L, static_cast<int64_t>(std::floor(ms)));
}

const LibraryFunction DATETIME_MEMBERS[] = {
    {"_get", datetime_get},
    {"_set", datetime_set},
    {"_tostring", datetime_tostring},
    {"_tonumber", datetime_tonumber},
    {"_serialize", datetime_serialize},
    {"_lt", datetime_lt},
    {"_le", datetime_le},
    {"_eq", datetime_eq},
    {"_concat", datetime_concat},
    {"local", datetime_local},
    {"utc", datetime_utc},
    {"update", datetime_update},
    {"addMonths", datetime_add_months},
    {"addDays", datetime_add_days},
    {"addSeconds", datetime_add_seconds},
    {"addMinutes", datetime_add_minutes},
    {"addHours", datetime_add_hours},
    {"diffMonths", datetime_diff_months},
    {"diffDays", datetime_diff_days},
    {"diffSeconds", datetime_diff_seconds},
    {"diffMinutes", datetime_diff_minutes},
    {"diffHours", datetime_diff_hours},
    {"getMilliTime", datetime_get_milli_time},
    {"setMilliTime", datetime_set_milli_time},
    {"addmonth", datetime_add_months},
    {"addday", datetime_add_days},
    {"addsecond", datetime_add_seconds},
    {"addminute", datetime_add_minutes},
    {"addhour", datetime_add_hours},
    {"diffday", datetime_diff_days},
    {"diffsecond", datetime_diff_seconds},
    {"diffminute", datetime_diff_minutes},
    {"diffhour", datetime_diff_hours},
    {nullptr, nullptr},
};

}  // namespace

void register_datetime_type(VmState* L) {
  register_object_type(L, TIME_LIBRARY, DATETIME_TYPE, DATETIME_MEMBERS);
  pop(L, 1);
}

}  // namespace quevro
