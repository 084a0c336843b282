// GUIDs in their registry form, the only text form the class registry and type libraries use.
#include <cstdio>

#include "com/com_types.h"

namespace quevro::com {

bool operator<(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
  if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
  if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
  return false;
}

std::string guid_to_string(const GUID& g) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::u16string guid_to_wide_string(const GUID& guid) {
  std::string narrow = guid_to_string(guid);
  return std::u16string(narrow.begin(), narrow.end());
}

namespace {

int hex_digit_value(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// Reads `digits` hexadecimal digits at text[pos]; false when any is not one.
template <class Char>
bool read_hex(std::basic_string_view<Char> text, size_t pos, int digits, uint32_t* out) {
  uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    int d = hex_digit_value(static_cast<char32_t>(text[pos + i]));
    if (d < 0) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  *out = value;
  return true;
}

template <class Char>
bool parse_guid(std::basic_string_view<Char> text, GUID* out) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
  GUID g;
  uint32_t v;
  if (!read_hex(text, 1, 8, &v)) return false;
  g.Data1 = v;
  if (!read_hex(text, 10, 4, &v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!read_hex(text, 15, 4, &v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  static constexpr size_t byte_positions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!read_hex(text, byte_positions[i], 2, &v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  *out = g;
  return true;
}

}  // namespace

bool guid_from_string(std::string_view text, GUID* out) { return parse_guid(text, out); }
bool guid_from_wide_string(std::u16string_view text, GUID* out) { return parse_guid(text, out); }

}  // namespace quevro::com
