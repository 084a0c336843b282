// The locales time texts are written and read in. Scripts name them the way the original platform
// does ("German", "chs", "English_United States.1252", "de-DE", ".ACP") or by the C library's own
// names ("de_DE.UTF-8"); each is mapped to a locale of the C library.
#pragma once

#include <langinfo.h>
#include <locale.h>

#include <cstddef>
#include <ctime>
#include <string>

namespace quevro {

class TimeLocale {
 public:
  // The process's current locale (what `setlocale` last chose for times).
  TimeLocale() = default;

  // The locale a script names, or false when there is no such locale on this system. Found
  // locales stay loaded for the life of the process.
  static bool find(const char* name, size_t len, TimeLocale* out);

  // A text of the locale's time data: month and day names, AM/PM, the date and time formats.
  const char* item(nl_item which) const;

  // strftime in this locale.
  void format_with_library(const char* format, const struct tm& tm, std::string& out) const;

 private:
  locale_t handle_ = nullptr;  // null for the current locale
};

}  // namespace quevro
