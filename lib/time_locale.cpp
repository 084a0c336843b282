#include "lib/time_locale.h"

#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quevro {

namespace {

// Locale names longer than this are no locale anywhere; they are refused before any lookup.
constexpr size_t LONGEST_LOCALE_NAME = 128;

struct NameToLocale {
  const char* name;
  const char* locale;  // language and territory as the C library spells them
};

// The original platform's language strings and their three-letter abbreviations. The first entry
// of each language gives that language's territory when a name has none.
const NameToLocale LANGUAGE_NAMES[] = {
    {"english", "en_US"}, {"american", "en_US"}, {"american english", "en_US"}, {"american-english", "en_US"},
    {"english-american", "en_US"}, {"english-us", "en_US"}, {"english-usa", "en_US"}, {"enu", "en_US"},
    {"english-uk", "en_GB"}, {"english-british", "en_GB"}, {"british", "en_GB"}, {"eng", "en_GB"},
    {"english-can", "en_CA"}, {"english-canadian", "en_CA"}, {"enc", "en_CA"},
    {"english-aus", "en_AU"}, {"australian", "en_AU"}, {"ena", "en_AU"},
    {"english-nz", "en_NZ"}, {"enz", "en_NZ"}, {"english-irl", "en_IE"}, {"eni", "en_IE"},
    {"chinese", "zh_CN"}, {"chinese-simplified", "zh_CN"}, {"chinese (simplified)", "zh_CN"}, {"chs", "zh_CN"},
    {"chinese-traditional", "zh_TW"}, {"chinese (traditional)", "zh_TW"}, {"cht", "zh_TW"},
    {"chinese-hongkong", "zh_HK"}, {"zhh", "zh_HK"}, {"chinese-singapore", "zh_SG"}, {"zhi", "zh_SG"},
    {"german", "de_DE"}, {"deu", "de_DE"}, {"german-swiss", "de_CH"}, {"swiss", "de_CH"}, {"des", "de_CH"},
    {"german-austrian", "de_AT"}, {"dea", "de_AT"},
    {"french", "fr_FR"}, {"fra", "fr_FR"}, {"french-belgian", "fr_BE"}, {"frb", "fr_BE"},
    {"french-canadian", "fr_CA"}, {"frc", "fr_CA"}, {"french-swiss", "fr_CH"}, {"frs", "fr_CH"},
    {"italian", "it_IT"}, {"ita", "it_IT"}, {"italian-swiss", "it_CH"}, {"its", "it_CH"},
    {"spanish", "es_ES"}, {"esp", "es_ES"}, {"spanish-modern", "es_ES"}, {"esn", "es_ES"},
    {"spanish-mexican", "es_MX"}, {"esm", "es_MX"},
    {"japanese", "ja_JP"}, {"jpn", "ja_JP"}, {"korean", "ko_KR"}, {"kor", "ko_KR"},
    {"russian", "ru_RU"}, {"rus", "ru_RU"},
    {"portuguese", "pt_BR"}, {"portuguese-brazilian", "pt_BR"}, {"ptb", "pt_BR"}, {"ptg", "pt_PT"},
    {"dutch", "nl_NL"}, {"nld", "nl_NL"}, {"dutch-belgian", "nl_BE"}, {"belgian", "nl_BE"}, {"nlb", "nl_BE"},
    {"swedish", "sv_SE"}, {"sve", "sv_SE"},
    {"norwegian", "nb_NO"}, {"norwegian-bokmal", "nb_NO"}, {"nor", "nb_NO"},
    {"norwegian-nynorsk", "nn_NO"}, {"non", "nn_NO"},
    {"danish", "da_DK"}, {"dan", "da_DK"}, {"finnish", "fi_FI"}, {"fin", "fi_FI"},
    {"polish", "pl_PL"}, {"plk", "pl_PL"}, {"czech", "cs_CZ"}, {"csy", "cs_CZ"},
    {"hungarian", "hu_HU"}, {"hun", "hu_HU"}, {"greek", "el_GR"}, {"ell", "el_GR"},
    {"turkish", "tr_TR"}, {"trk", "tr_TR"}, {"slovak", "sk_SK"}, {"sky", "sk_SK"},
    {"icelandic", "is_IS"}, {"isl", "is_IS"}, {"hebrew", "he_IL"}, {"arabic", "ar_SA"},
    {"thai", "th_TH"}, {"vietnamese", "vi_VN"}, {"ukrainian", "uk_UA"}, {"indonesian", "id_ID"},
};

// Country names of the "Language_Country.codepage" form.
const NameToLocale COUNTRY_NAMES[] = {
    {"united states", "US"}, {"america", "US"}, {"usa", "US"}, {"united kingdom", "GB"}, {"great britain", "GB"},
    {"britain", "GB"}, {"england", "GB"}, {"uk", "GB"}, {"china", "CN"}, {"prc", "CN"},
    {"people's republic of china", "CN"}, {"taiwan", "TW"}, {"hong kong", "HK"}, {"hong kong sar", "HK"},
    {"singapore", "SG"}, {"germany", "DE"}, {"austria", "AT"}, {"switzerland", "CH"}, {"france", "FR"},
    {"belgium", "BE"}, {"canada", "CA"}, {"italy", "IT"}, {"spain", "ES"}, {"mexico", "MX"},
    {"japan", "JP"}, {"korea", "KR"}, {"russia", "RU"}, {"portugal", "PT"}, {"brazil", "BR"},
    {"netherlands", "NL"}, {"holland", "NL"}, {"sweden", "SE"}, {"norway", "NO"}, {"denmark", "DK"},
    {"finland", "FI"}, {"poland", "PL"}, {"czech republic", "CZ"}, {"czechia", "CZ"}, {"hungary", "HU"},
    {"greece", "GR"}, {"turkey", "TR"}, {"slovakia", "SK"}, {"iceland", "IS"}, {"israel", "IL"},
    {"saudi arabia", "SA"}, {"thailand", "TH"}, {"vietnam", "VN"}, {"ukraine", "UA"},
    {"indonesia", "ID"}, {"australia", "AU"}, {"new zealand", "NZ"}, {"ireland", "IE"}, {"india", "IN"},
};

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool is_letters(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  return true;
}

const char* lookup(const NameToLocale* table, size_t count, std::string_view name) {
  for (size_t i = 0; i < count; ++i)
    if (name == table[i].name) return table[i].locale;
  return nullptr;
}

const char* language_name(std::string_view name) {
  return lookup(LANGUAGE_NAMES, std::size(LANGUAGE_NAMES), name);
}

const char* country_name(std::string_view name) { return lookup(COUNTRY_NAMES, std::size(COUNTRY_NAMES), name); }

// The language-and-territory of a two- or three-letter language code: the territory of the
// language's first entry above, or the code's own letters in capitals ("nl" gives "nl_NL").
std::string territory_for(const std::string& code) {
  for (const NameToLocale& n : LANGUAGE_NAMES)
    if (std::strncmp(n.locale, code.c_str(), code.size()) == 0 && n.locale[code.size()] == '_') return n.locale;
  std::string region = code;
  for (char& c : region) c = static_cast<char>(c - 'a' + 'A');
  return code + "_" + region;
}

// "de-DE", "zh-Hans-CN", "en": language, optional script, optional region.
std::string from_language_tag(const std::string& lower) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= lower.size(); ++i) {
    if (i == lower.size() || lower[i] == '-' || lower[i] == '_') {
      parts.push_back(lower.substr(start, i - start));
      start = i + 1;
    }
  }
  const std::string& language = parts[0];
  if (language.size() < 2 || language.size() > 3 || !is_letters(language)) return "";
  std::string region;
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string& p = parts[i];
    if (p == "hans") region = region.empty() ? "CN" : region;
    else if (p == "hant") region = region.empty() ? "TW" : region;
    else if (p.size() == 2 && is_letters(p)) region = std::string{static_cast<char>(p[0] - 32), static_cast<char>(p[1] - 32)};
    else if (p.size() != 4) return "";
  }
  if (region.empty()) return territory_for(language);
  return language + "_" + region;
}

// "English_United States", "Chinese (Simplified)_China", "German".
std::string from_language_name(const std::string& lower) {
  if (const char* direct = language_name(lower)) return direct;
  size_t cut = lower.find('_');
  if (cut == std::string::npos) return "";
  const char* language = language_name(lower.substr(0, cut));
  const char* country = country_name(lower.substr(cut + 1));
  if (language == nullptr || country == nullptr) return "";
  return std::string(language, 2) + "_" + country;
}

// The C library's names to try for a script's locale name, best first. The code page part of
// the original platform's names is dropped: text here is always UTF-8.
std::vector<std::string> library_names(std::string_view name) {
  std::string lower = lower_ascii(name);
  if (lower.empty() || lower[0] == '.') return {""};  // ".ACP", ".OCP", ".1252": the user's own
  if (lower == "c" || lower == "posix") return {"C"};
  std::vector<std::string> names{std::string(name)};
  std::string base = lower.substr(0, lower.find('.'));
  std::string mapped = from_language_name(base);
  if (mapped.empty() && base.find(' ') == std::string::npos) mapped = from_language_tag(base);
  if (!mapped.empty()) {
    names.push_back(mapped + ".UTF-8");
    names.push_back(mapped + ".utf8");
    names.push_back(mapped);
  }
  return names;
}

// Loaded locales, by the names scripts used and by the C library's names (so that different
// spellings of one locale share one handle). Scripts' names are remembered up to a limit, so
// that a script trying endless made-up names cannot grow the table without end.
struct LocaleCache {
  static constexpr size_t SCRIPT_NAMES_KEPT = 1024;
  std::mutex lock;
  std::unordered_map<std::string, locale_t> by_script_name;
  std::unordered_map<std::string, locale_t> by_library_name;

  locale_t open(const std::string& candidate) {
    auto it = by_library_name.find(candidate);
    if (it != by_library_name.end()) return it->second;
    locale_t l = newlocale(LC_TIME_MASK, candidate.c_str(), nullptr);
    if (l) by_library_name.emplace(candidate, l);
    return l;
  }

  locale_t find(const std::string& name) {
    auto it = by_script_name.find(name);
    if (it != by_script_name.end()) return it->second;
    locale_t l = nullptr;
    if (name.size() <= LONGEST_LOCALE_NAME && name.find('/') == std::string::npos &&
        name.find('\0') == std::string::npos) {
      for (const std::string& candidate : library_names(name)) {
        l = open(candidate);
        // The user's own locale may name one this system lacks; its times are then the C ones.
        if (l == nullptr && candidate.empty()) l = open("C");
        if (l) break;
      }
    }
    if (by_script_name.size() < SCRIPT_NAMES_KEPT) by_script_name.emplace(name, l);
    return l;
  }
};

}  // namespace

bool TimeLocale::find(const char* name, size_t len, TimeLocale* out) {
  static auto* cache = new LocaleCache();  // the handles live as long as the process
  std::lock_guard<std::mutex> guard(cache->lock);
  out->handle_ = cache->find(std::string(name, len));
  return out->handle_ != nullptr;
}

const char* TimeLocale::item(nl_item which) const {
  return handle_ ? nl_langinfo_l(which, handle_) : nl_langinfo(which);
}

void TimeLocale::format_with_library(const char* format, const struct tm& tm, std::string& out) const {
  char buf[512];
  size_t n = handle_ ? strftime_l(buf, sizeof buf, format, &tm, handle_) : std::strftime(buf, sizeof buf, format, &tm);
  out.append(buf, n);
}

}  // namespace quevro
