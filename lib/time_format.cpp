#include "lib/time_format.h"

#include <cstring>
#include <initializer_list>

namespace quevro {

namespace {

constexpr std::string_view ALLOWED_DIRECTIVES = "%ABHIMSUWXYZabcdjmpwxy";

// Composite directives expand to locale formats, which hold directives again; real locales nest
// two levels at most.
constexpr int DEEPEST_EXPANSION = 4;

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Week of the year, weeks starting on first_weekday (0 Sunday, 1 Monday); days before the first
// such day are week 0.
int week_of_year(int yday, int wday, int first_weekday) {
  int days_since_week_start = (wday - first_weekday + 7) % 7;
  return (yday + 7 - days_since_week_start) / 7;
}

// The long date of a locale, for %#x and %#c: its short date's order of day, month and year with
// the names written out.
std::string long_date_format(const TimeLocale& locale) {
  std::string_view short_date = locale.item(D_FMT);
  char first = 0;
  bool plain = true;
  for (size_t i = 0; i + 1 < short_date.size(); ++i) {
    if (short_date[i] != '%') continue;
    char d = short_date[++i];
    if (d == 'Y' || d == 'y' || d == 'm' || d == 'd' || d == 'e') {
      if (first == 0) first = d;
    } else {
      plain = false;
    }
  }
  if ((first == 'Y' || first == 'y') && plain) {
    std::string out;
    for (size_t i = 0; i < short_date.size(); ++i) {
      if (short_date[i] != '%' || i + 1 >= short_date.size()) {
        out += short_date[i];
        continue;
      }
      char d = short_date[++i];
      out += d == 'y' || d == 'Y' ? "%Y" : d == 'm' ? "%#m" : "%#d";
    }
    return out + " %A";
  }
  if (first == 'd' || first == 'e') return "%A, %#d %B %Y";
  return "%A, %B %#d, %Y";
}

class TimeWriter {
 public:
  TimeWriter(const CivilTime& t, bool utc, const TimeLocale& locale)
      : t_(t), utc_(utc), locale_(locale), wday_(weekday_of(t.year, t.month, t.day)),
        yday_(day_of_year(t.year, t.month, t.day)) {}

  void write(std::string_view format, std::string& out, int depth) {
    for (size_t i = 0; i < format.size(); ++i) {
      char c = format[i];
      if (c != '%' || i + 1 >= format.size()) {
        out += c;
        continue;
      }
      bool trim = format[i + 1] == '#';
      if (trim) ++i;
      if (i + 1 >= format.size()) break;
      directive(format[++i], trim, out, depth);
    }
  }

 private:
  CivilTime t_;
  bool utc_;
  const TimeLocale& locale_;
  int wday_;
  int yday_;
  bool zone_known_ = false;

  void directive(char d, bool trim, std::string& out, int depth) {
    switch (d) {
      case '%': out += '%'; break;
      case 'a': out += locale_.item(ABDAY_1 + wday_); break;
      case 'A': out += locale_.item(DAY_1 + wday_); break;
      case 'b': out += locale_.item(ABMON_1 + t_.month - 1); break;
      case 'B': out += locale_.item(MON_1 + t_.month - 1); break;
      case 'd': number(t_.day, 2, trim, out); break;
      case 'H': number(t_.hour, 2, trim, out); break;
      case 'I': number(t_.hour % 12 == 0 ? 12 : t_.hour % 12, 2, trim, out); break;
      case 'j': number(yday_ + 1, 3, trim, out); break;
      case 'm': number(t_.month, 2, trim, out); break;
      case 'M': number(t_.minute, 2, trim, out); break;
      case 'p': out += locale_.item(t_.hour < 12 ? AM_STR : PM_STR); break;
      case 'S': number(t_.second, 2, trim, out); break;
      case 'U': number(week_of_year(yday_, wday_, 0), 2, trim, out); break;
      case 'w': number(wday_, 1, trim, out); break;
      case 'W': number(week_of_year(yday_, wday_, 1), 2, trim, out); break;
      case 'y': number(t_.year % 100, 2, trim, out); break;
      case 'Y': number(t_.year, 1, trim, out); break;
      case 'Z': out += zoned().zone; break;
      case 'c':
      case 'x':
        if (trim && depth < DEEPEST_EXPANSION) {
          std::string long_form = long_date_format(locale_);
          if (d == 'c') long_form += " %X";
          write(long_form, out, depth + 1);
          break;
        }
        [[fallthrough]];
      case 'X': {
        const char format[3] = {'%', d, '\0'};
        locale_.format_with_library(format, library_time(), out);
        break;
      }
      default: break;
    }
  }

  void number(int value, int width, bool trim, std::string& out) {
    char digits[12];
    int n = 0;
    unsigned v = static_cast<unsigned>(value < 0 ? -value : value);
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    if (value < 0) out += '-';
    if (!trim)
      for (int i = n; i < width; ++i) out += '0';
    while (n) out += digits[--n];
  }

  const CivilTime& zoned() {
    if (!zone_known_) {
      resolve_zone(&t_, utc_);
      zone_known_ = true;
    }
    return t_;
  }

  struct tm library_time() {
    const CivilTime& t = zoned();
    struct tm tm = wall_clock_of(t);
    tm.tm_wday = wday_;
    tm.tm_yday = yday_;
    tm.tm_isdst = t.isdst ? 1 : 0;
    tm.tm_gmtoff = t.utc_offset;
    tm.tm_zone = t.zone;
    return tm;
  }
};

// The fields a text gave; unset ones are -1.
struct ReadFields {
  int year = -1;
  int year_in_century = -1;
  int century = -1;
  int month = -1;
  int day = -1;
  int hour = -1;
  int hour12 = -1;
  int pm = -1;
  int minute = -1;
  int second = -1;
  int milliseconds = 0;
  int yday = -1;
  int wday = -1;
  int week = -1;
  int week_start = 0;  // 0 for %U (Sunday), 1 for %W (Monday)
};

class TimeReader {
 public:
  TimeReader(std::string_view text, const TimeLocale& locale) : text_(text), locale_(locale) {}

  bool read(std::string_view format, int depth) {
    for (size_t i = 0; i < format.size(); ++i) {
      char c = format[i];
      if (is_space(c)) {
        skip_spaces();
      } else if (c != '%' || i + 1 >= format.size()) {
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
      } else {
        ++i;
        // '#' changes only what %c and %x read; 'E' and 'O' (the C library's alternative forms,
        // met in locale formats) change nothing here.
        bool long_form = false;
        while (i + 1 < format.size() && (format[i] == '#' || format[i] == 'E' || format[i] == 'O')) {
          long_form = long_form || format[i] == '#';
          ++i;
        }
        char next = i + 1 < format.size() ? format[i + 1] : '\0';
        char d = format[i];
        bool ok = long_form && (d == 'c' || d == 'x') ? expand(long_date_format(locale_) + (d == 'c' ? " %X" : ""), depth)
                                                       : directive(d, next, depth);
        if (!ok) return false;
      }
    }
    return true;
  }

  bool at_end() {
    skip_spaces();
    return at_ == text_.size();
  }

  const ReadFields& fields() const { return fields_; }

 private:
  std::string_view text_;
  size_t at_ = 0;
  const TimeLocale& locale_;
  ReadFields fields_;

  void skip_spaces() {
    while (at_ < text_.size() && is_space(text_[at_])) ++at_;
  }

  bool directive(char d, char next_in_format, int depth) {
    ReadFields& f = fields_;
    switch (d) {
      case '%': return literal('%');
      case 'a': case 'A': return name(ABDAY_1, DAY_1, 7, &f.wday);
      case 'b': case 'B': case 'h': return name(ABMON_1, MON_1, 12, &f.month) && counted_from_one(&f.month);
      case 'd': case 'e': return number(2, 1, 31, &f.day);
      case 'H': case 'k': return number(2, 0, 23, &f.hour);
      case 'I': case 'l': return number(2, 1, 12, &f.hour12);
      case 'j': return number(3, 1, 366, &f.yday) && counted_from_zero(&f.yday);
      case 'm': return number(2, 1, 12, &f.month);
      case 'M': return number(2, 0, 59, &f.minute);
      case 'S': return number(2, 0, 59, &f.second) && fraction(next_in_format);
      case 'p': case 'P': return meridiem();
      case 'U': f.week_start = 0; return number(2, 0, 53, &f.week);
      case 'W': f.week_start = 1; return number(2, 0, 53, &f.week);
      case 'w': return number(1, 0, 6, &f.wday);
      case 'u': return number(1, 1, 7, &f.wday) && sunday_as_zero(&f.wday);
      case 'y': return number(2, 0, 99, &f.year_in_century);
      case 'Y': return number(4, 0, 9999, &f.year);
      case 'C': return number(2, 0, 99, &f.century);
      case 'Z': zone_name(); return true;
      case 'z': return zone_offset();
      case 'n': case 't': skip_spaces(); return true;
      case 'c': return expand(locale_.item(D_T_FMT), depth);
      case 'x': return expand(locale_.item(D_FMT), depth);
      case 'X': return expand(locale_.item(T_FMT), depth);
      case 'r': return expand(locale_.item(T_FMT_AMPM), depth);
      case 'T': return expand("%H:%M:%S", depth);
      case 'R': return expand("%H:%M", depth);
      case 'D': return expand("%m/%d/%y", depth);
      case 'F': return expand("%Y-%m-%d", depth);
      default: return false;
    }
  }

  bool expand(std::string_view format, int depth) { return depth < DEEPEST_EXPANSION && read(format, depth + 1); }

  bool literal(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  // Adjustments of what was read, made after a successful read (so they always succeed).
  static bool counted_from_one(int* index) {
    ++*index;
    return true;
  }
  static bool counted_from_zero(int* ordinal) {
    --*ordinal;
    return true;
  }
  static bool sunday_as_zero(int* weekday) {
    *weekday %= 7;
    return true;
  }

  // One to max_digits digits (after optional blanks, as padded numbers have them) within lo..hi.
  bool number(int max_digits, int lo, int hi, int* out) {
    skip_spaces();
    int value = 0, digits = 0;
    while (digits < max_digits && at_ < text_.size() && is_digit(text_[at_])) {
      value = value * 10 + (text_[at_++] - '0');
      ++digits;
    }
    if (digits == 0 || value < lo || value > hi) return false;
    *out = value;
    return true;
  }

  // Fractional seconds after ',' or '.', unless the format itself goes on with that character.
  bool fraction(char next_in_format) {
    if (at_ + 1 >= text_.size() || (text_[at_] != '.' && text_[at_] != ',') || text_[at_] == next_in_format ||
        !is_digit(text_[at_ + 1]))
      return true;
    ++at_;
    int ms = 0, scale = 100;
    while (at_ < text_.size() && is_digit(text_[at_])) {
      ms += (text_[at_++] - '0') * scale;
      scale /= 10;
    }
    fields_.milliseconds = ms;
    return true;
  }

  // The length of name matched case-insensitively (ASCII letters) at the read position, or 0.
  size_t match(const char* name) const {
    size_t n = std::strlen(name);
    if (n == 0 || n > text_.size() - at_) return 0;
    for (size_t i = 0; i < n; ++i)
      if (fold(text_[at_ + i]) != fold(name[i])) return 0;
    return n;
  }

  // The longest of the abbreviated and full names; *out gets its index.
  bool name(nl_item abbreviated, nl_item full, int count, int* out) {
    skip_spaces();
    size_t best = 0;
    for (int i = 0; i < count; ++i) {
      for (nl_item item : {full + i, abbreviated + i}) {
        size_t n = match(locale_.item(item));
        if (n > best) {
          best = n;
          *out = i;
        }
      }
    }
    at_ += best;
    return best > 0;
  }

  bool meridiem() {
    skip_spaces();
    size_t am = match(locale_.item(AM_STR)), pm = match(locale_.item(PM_STR));
    if (am == 0 && pm == 0) {
      // A locale without AM and PM strings writes nothing for %p.
      return *locale_.item(AM_STR) == '\0' && *locale_.item(PM_STR) == '\0';
    }
    fields_.pm = pm > am ? 1 : 0;
    at_ += pm > am ? pm : am;
    return true;
  }

  // A zone abbreviation ("CET", "UTC", "+03") is read over; times are read in the object's own
  // zone.
  void zone_name() {
    skip_spaces();
    while (at_ < text_.size() && is_letter(text_[at_])) ++at_;
    if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
      size_t start = at_++;
      size_t digits = 0;
      while (at_ < text_.size() && (is_digit(text_[at_]) || text_[at_] == ':')) ++at_, ++digits;
      if (digits == 0) at_ = start;
    }
  }

  bool zone_offset() {
    skip_spaces();
    if (literal('Z')) return true;
    if (at_ >= text_.size() || (text_[at_] != '+' && text_[at_] != '-')) return false;
    ++at_;
    int digits = 0;
    while (at_ < text_.size() && (is_digit(text_[at_]) || (text_[at_] == ':' && digits == 2))) {
      if (text_[at_] != ':') ++digits;
      ++at_;
    }
    return digits == 2 || digits == 4;
  }
};

// Fills the date from a day of the year or a week and weekday when the text gave no month and day.
bool settle_date(const ReadFields& f, CivilTime* out) {
  out->month = f.month > 0 ? f.month : 1;
  out->day = f.day > 0 ? f.day : 1;
  if (f.month > 0 || f.day > 0) return true;
  int yday;
  if (f.yday >= 0) {
    yday = f.yday;
  } else if (f.week >= 0) {
    int jan1 = weekday_of(out->year, 1, 1);
    int first_week_start = (f.week_start - jan1 + 7) % 7;  // yday of the first week's first day
    int weekday = f.wday >= 0 ? f.wday : f.week_start;
    yday = first_week_start + (f.week - 1) * 7 + (weekday - f.week_start + 7) % 7;
  } else {
    return true;
  }
  if (yday < 0 || yday >= (is_leap_year(out->year) ? 366 : 365)) return false;
  int64_t year;
  civil_from_days(days_from_civil(out->year, 1, 1) + yday, &year, &out->month, &out->day);
  return true;
}

}  // namespace

std::string translate_picture(std::string_view format) {
  if (format.find('%') != std::string_view::npos) return std::string(format);
  std::string out;
  size_t i = 0;
  auto run = [&](std::string_view letters) {
    size_t n = 0;
    while (i + n < format.size() && letters.find(format[i + n]) != std::string_view::npos) ++n;
    return n;
  };
  while (i < format.size()) {
    size_t n = 1;
    switch (format[i]) {
      case 'y': case 'Y': n = run("yY"); out += n <= 2 ? "%y" : "%Y"; break;
      case 'M': n = run("M"); out += n <= 2 ? "%m" : n == 3 ? "%b" : "%B"; break;
      case 'd': case 'D': n = run("dD"); out += n <= 2 ? "%d" : n == 3 ? "%a" : "%A"; break;
      case 'H': n = run("H"); out += "%H"; break;
      case 'h': n = run("h"); out += "%I"; break;
      case 'm': n = run("m"); out += "%M"; break;
      case 's': case 'S': n = run("sS"); out += "%S"; break;
      case 'Z': n = run("Z"); out += "%Z"; break;
      case 'A': case 'a': case 't': n = run("Aat"); out += "%p"; break;
      default: out += format[i]; break;
    }
    i += n;
  }
  return out;
}

size_t invalid_directive(std::string_view format) {
  for (size_t i = is_utc_format(format) ? 1 : 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    size_t at = i++;
    if (i < format.size() && format[i] == '#') ++i;
    if (i >= format.size() || ALLOWED_DIRECTIVES.find(format[i]) == std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

void format_time(const CivilTime& t, bool utc, std::string_view format, const TimeLocale& locale, std::string& out) {
  if (is_utc_format(format)) format.remove_prefix(1);
  TimeWriter(t, utc, locale).write(format, out, 0);
}

bool parse_time(std::string_view text, std::string_view format, const TimeLocale& locale, CivilTime* out) {
  if (is_utc_format(format)) format.remove_prefix(1);
  TimeReader reader(text, locale);
  if (!reader.read(format, 0) || !reader.at_end()) return false;
  const ReadFields& f = reader.fields();
  if (f.year >= 0) {
    out->year = f.year;
  } else if (f.year_in_century >= 0) {
    // Two-digit years: 69 to 99 are the 1900s, 00 to 68 the 2000s, unless %C names the century.
    out->year = f.century >= 0 ? f.century * 100 + f.year_in_century
                               : f.year_in_century + (f.year_in_century < 69 ? 2000 : 1900);
  } else {
    out->year = f.century >= 0 ? f.century * 100 : MIN_YEAR;
  }
  if (out->year < MIN_YEAR || out->year > MAX_YEAR) return false;
  if (!settle_date(f, out) || out->day > days_in_month(out->year, out->month)) return false;
  out->hour = f.hour12 >= 0 ? f.hour12 % 12 + (f.pm == 1 ? 12 : 0) : f.hour >= 0 ? f.hour : 0;
  out->minute = f.minute >= 0 ? f.minute : 0;
  out->second = f.second >= 0 ? f.second : 0;
  out->milliseconds = f.milliseconds;
  out->dayofweek = weekday_of(out->year, out->month, out->day);
  return true;
}

}  // namespace quevro
