// VariantChangeType: conversions between the VARIANT types. Numbers convert exactly where the
// target can hold the value and fail with DISP_E_OVERFLOW where it cannot; reals round to the
// nearest integer, halves to even, as automation servers expect. Texts are read and written in
// the English forms ("True", "1.5", "12/31/1999 6:30:00 PM").
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "com/dispatch_params.h"
#include "com/ole_date.h"
#include "com/variant.h"

namespace quevro::com {

namespace {

// A numeric value on its way between two types: exact integers stay integers.
struct Number {
  enum Kind { signed_integer, unsigned_integer, real } kind = signed_integer;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;

  static Number of_signed(int64_t v) { return Number{signed_integer, v, 0, 0}; }
  static Number of_unsigned(uint64_t v) { return Number{unsigned_integer, 0, v, 0}; }
  static Number of_real(double v) { return Number{real, 0, 0, v}; }

  double as_double() const {
    switch (kind) {
      case signed_integer: return static_cast<double>(i);
      case unsigned_integer: return static_cast<double>(u);
      default: return d;
    }
  }
  bool is_zero() const { return as_double() == 0; }
};

// ---- Reading numbers from texts -----------------------------------------------------------

std::string trimmed_ascii(BSTR text, bool* ascii) {
  std::string out;
  *ascii = true;
  for (char16_t c : bstr_view(text)) {
    if (c > 0x7F) {
      *ascii = false;
      return {};
    }
    out.push_back(static_cast<char>(c));
  }
  size_t first = out.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  size_t last = out.find_last_not_of(" \t\r\n");
  return out.substr(first, last - first + 1);
}

bool equals_ignoring_case(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// "&H1F" and "&O17": the radix forms of automation texts, read as 64-bit patterns.
bool parse_radix_number(const std::string& text, Number* out) {
  if (text.size() < 3 || text[0] != '&') return false;
  int radix = 0;
  char marker = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
  if (marker == 'H') radix = 16;
  if (marker == 'O') radix = 8;
  if (radix == 0) return false;
  uint64_t value = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    int digit;
    char c = text[i];
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (std::isxdigit(static_cast<unsigned char>(c))) digit = std::toupper(c) - 'A' + 10;
    else return false;
    if (digit >= radix || value > (std::numeric_limits<uint64_t>::max() - digit) / radix)
      return false;
    value = value * radix + digit;
  }
  *out = Number::of_unsigned(value);
  return true;
}

// A decimal number: sign, digits with optional thousands commas, fraction, exponent.
bool parse_decimal_number(const std::string& text, Number* out) {
  std::string clean;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) clean.push_back(text[i++]);
  size_t digits = 0;
  bool integral = true;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      clean.push_back(c);
      ++digits;
    } else if (c == ',' && digits > 0) {
      continue;
    } else {
      break;
    }
  }
  if (i < text.size() && text[i] == '.') {
    integral = false;
    clean.push_back(text[i++]);
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits)
      clean.push_back(text[i]);
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    integral = false;
    clean.push_back('e');
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) clean.push_back(text[i++]);
    size_t exponent_digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      clean.push_back(text[i]);
      ++exponent_digits;
    }
    if (exponent_digits == 0) return false;
  }
  if (i != text.size()) return false;
  if (integral) {
    errno = 0;
    char* end;
    if (clean[0] == '-') {
      long long v = std::strtoll(clean.c_str(), &end, 10);
      if (errno == 0) {
        *out = Number::of_signed(v);
        return true;
      }
    } else {
      unsigned long long v = std::strtoull(clean.c_str(), &end, 10);
      if (errno == 0) {
        *out = Number::of_unsigned(v);
        return true;
      }
    }
  }
  *out = Number::of_real(std::strtod(clean.c_str(), nullptr));
  return true;
}

HRESULT number_from_text(BSTR text, Number* out) {
  bool ascii;
  std::string s = trimmed_ascii(text, &ascii);
  if (!ascii || s.empty()) return DISP_E_TYPEMISMATCH;
  if (parse_radix_number(s, out) || parse_decimal_number(s, out)) return S_OK;
  return DISP_E_TYPEMISMATCH;
}

// ---- Reading dates from texts -------------------------------------------------------------

// Reads an unsigned decimal field at s[*pos]; false when there is none.
bool read_field(const std::string& s, size_t* pos, int* out) {
  size_t start = *pos;
  int value = 0;
  while (*pos < s.size() && std::isdigit(static_cast<unsigned char>(s[*pos])) &&
         *pos - start < 5)
    value = value * 10 + (s[(*pos)++] - '0');
  if (*pos == start) return false;
  *out = value;
  return true;
}

bool expect_char(const std::string& s, size_t* pos, char c) {
  if (*pos < s.size() && s[*pos] == c) {
    ++*pos;
    return true;
  }
  return false;
}

void skip_spaces(const std::string& s, size_t* pos) {
  while (*pos < s.size() && s[*pos] == ' ') ++*pos;
}

// "YYYY-MM-DD" or "M/D/YYYY".
bool read_calendar_date(const std::string& s, size_t* pos, SYSTEMTIME* t) {
  int a, b, c;
  if (!read_field(s, pos, &a)) return false;
  char separator = *pos < s.size() ? s[*pos] : 0;
  if (separator != '-' && separator != '/') return false;
  ++*pos;
  if (!read_field(s, pos, &b) || !expect_char(s, pos, separator) || !read_field(s, pos, &c))
    return false;
  if (separator == '-') {
    t->wYear = static_cast<WORD>(a), t->wMonth = static_cast<WORD>(b), t->wDay = static_cast<WORD>(c);
  } else {
    t->wMonth = static_cast<WORD>(a), t->wDay = static_cast<WORD>(b), t->wYear = static_cast<WORD>(c);
  }
  return true;
}

// "H:MM[:SS] [AM|PM]".
bool read_clock_time(const std::string& s, size_t* pos, SYSTEMTIME* t) {
  int hour, minute, second = 0;
  if (!read_field(s, pos, &hour) || !expect_char(s, pos, ':') || !read_field(s, pos, &minute))
    return false;
  if (expect_char(s, pos, ':') && !read_field(s, pos, &second)) return false;
  skip_spaces(s, pos);
  if (*pos + 2 <= s.size()) {
    std::string marker = s.substr(*pos, 2);
    bool am = equals_ignoring_case(marker, "am"), pm = equals_ignoring_case(marker, "pm");
    if (am || pm) {
      if (hour < 1 || hour > 12) return false;
      hour = hour % 12 + (pm ? 12 : 0);
      *pos += 2;
    }
  }
  t->wHour = static_cast<WORD>(hour);
  t->wMinute = static_cast<WORD>(minute);
  t->wSecond = static_cast<WORD>(second);
  return true;
}

HRESULT date_from_text(BSTR text, DATE* out) {
  bool ascii;
  std::string s = trimmed_ascii(text, &ascii);
  if (!ascii || s.empty()) return DISP_E_TYPEMISMATCH;
  SYSTEMTIME t{1899, 12, 0, 30, 0, 0, 0, 0};
  size_t pos = 0;
  bool has_date = read_calendar_date(s, &pos, &t);
  if (!has_date) {
    pos = 0;
    if (!read_clock_time(s, &pos, &t)) return DISP_E_TYPEMISMATCH;
  } else if (pos < s.size()) {
    if (s[pos] != ' ' && s[pos] != 'T') return DISP_E_TYPEMISMATCH;
    ++pos;
    skip_spaces(s, &pos);
    if (!read_clock_time(s, &pos, &t)) return DISP_E_TYPEMISMATCH;
  }
  skip_spaces(s, &pos);
  if (pos != s.size()) return DISP_E_TYPEMISMATCH;
  if (!SystemTimeToVariantTime(&t, out)) return DISP_E_TYPEMISMATCH;
  return S_OK;
}

// ---- Writing texts ------------------------------------------------------------------------

std::string text_of_real(double d, int significant_digits) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*G", significant_digits, d);
  return buffer;
}

std::string text_of_currency(int64_t amount) {
  bool negative = amount < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(amount) : static_cast<uint64_t>(amount);
  std::string text = std::to_string(magnitude / currency_scale);
  uint64_t fraction = magnitude % currency_scale;
  if (fraction) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%04u", static_cast<unsigned>(fraction));
    std::string f = digits;
    while (f.back() == '0') f.pop_back();
    text += f;
  }
  return negative ? "-" + text : text;
}

unsigned __int128 decimal_magnitude(const DECIMAL& d) {
  return static_cast<unsigned __int128>(d.Hi32) << 64 | d.Lo64;
}

std::string text_of_decimal(const DECIMAL& d) {
  unsigned __int128 m = decimal_magnitude(d);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m);
  if (d.scale > 0) {
    if (digits.size() <= d.scale) digits.insert(0, d.scale + 1 - digits.size(), '0');
    digits.insert(digits.size() - d.scale, ".");
    while (digits.back() == '0') digits.pop_back();
    if (digits.back() == '.') digits.pop_back();
  }
  bool zero = digits == "0";
  return (d.sign & DECIMAL_NEG) && !zero ? "-" + digits : digits;
}

std::string text_of_date(DATE date) {
  SYSTEMTIME t;
  if (!VariantTimeToSystemTime(date, &t)) return {};
  char buffer[64];
  std::string text;
  bool has_day = std::trunc(date) != 0;
  bool has_time = t.wHour || t.wMinute || t.wSecond;
  if (has_day || !has_time) {
    std::snprintf(buffer, sizeof buffer, "%u/%u/%u", t.wMonth, t.wDay, t.wYear);
    text = buffer;
  }
  if (has_time) {
    unsigned hour12 = t.wHour % 12 == 0 ? 12 : t.wHour % 12;
    std::snprintf(buffer, sizeof buffer, "%u:%02u:%02u %s", hour12, t.wMinute, t.wSecond,
                  t.wHour < 12 ? "AM" : "PM");
    if (!text.empty()) text += ' ';
    text += buffer;
  }
  return text;
}

// ---- Decimal values -----------------------------------------------------------------------

constexpr unsigned __int128 decimal_limit = static_cast<unsigned __int128>(1) << 96;

double double_of_decimal(const DECIMAL& d) {
  long double value = static_cast<long double>(decimal_magnitude(d));
  for (int i = 0; i < d.scale; ++i) value /= 10;
  return static_cast<double>((d.sign & DECIMAL_NEG) ? -value : value);
}

HRESULT decimal_of_number(const Number& n, DECIMAL* out) {
  *out = DECIMAL{0, 0, 0, 0, 0};
  unsigned __int128 magnitude;
  if (n.kind == Number::signed_integer) {
    magnitude = n.i < 0 ? 0 - static_cast<uint64_t>(n.i) : static_cast<uint64_t>(n.i);
    if (n.i < 0) out->sign = DECIMAL_NEG;
  } else if (n.kind == Number::unsigned_integer) {
    magnitude = n.u;
  } else {
    if (!std::isfinite(n.d)) return DISP_E_OVERFLOW;
    // Fifteen significant digits, as the double's text form has them.
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.14e", std::fabs(n.d));
    unsigned __int128 mantissa = 0;
    int exponent = std::atoi(std::strchr(buffer, 'e') + 1) - 14;
    for (const char* p = buffer; *p != 'e'; ++p)
      if (*p != '.') mantissa = mantissa * 10 + (*p - '0');
    while (mantissa && mantissa % 10 == 0 && exponent < 0) {
      mantissa /= 10;
      ++exponent;
    }
    for (; exponent > 0; --exponent) {
      mantissa *= 10;
      if (mantissa >= decimal_limit) return DISP_E_OVERFLOW;
    }
    int scale = -exponent;
    for (; scale > 28; --scale) mantissa /= 10;
    magnitude = mantissa;
    out->scale = static_cast<uint8_t>(scale);
    if (n.d < 0 && magnitude) out->sign = DECIMAL_NEG;
  }
  out->Hi32 = static_cast<uint32_t>(magnitude >> 64);
  out->Lo64 = static_cast<uint64_t>(magnitude);
  return S_OK;
}

Number number_of_decimal(const DECIMAL& d) {
  unsigned __int128 m = decimal_magnitude(d);
  bool negative = d.sign & DECIMAL_NEG;
  if (d.scale == 0 && m <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return Number::of_signed(negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m));
  return Number::of_real(double_of_decimal(d));
}

// ---- Numbers into types -------------------------------------------------------------------

// The number rounded to an integer within [low, high] as int64 (signed targets).
HRESULT signed_of(const Number& n, int64_t low, int64_t high, int64_t* out) {
  switch (n.kind) {
    case Number::signed_integer:
      if (n.i < low || n.i > high) return DISP_E_OVERFLOW;
      *out = n.i;
      return S_OK;
    case Number::unsigned_integer:
      if (n.u > static_cast<uint64_t>(high)) return DISP_E_OVERFLOW;
      *out = static_cast<int64_t>(n.u);
      return S_OK;
    default: {
      double r = std::nearbyint(n.d);  // the default rounding: to nearest, halves to even
      // 2^63 is the first double beyond int64; compare before casting.
      if (std::isnan(r) || r < -9223372036854775808.0 || r >= 9223372036854775808.0)
        return DISP_E_OVERFLOW;
      int64_t v = static_cast<int64_t>(r);
      if (v < low || v > high) return DISP_E_OVERFLOW;
      *out = v;
      return S_OK;
    }
  }
}

HRESULT unsigned_of(const Number& n, uint64_t high, uint64_t* out) {
  switch (n.kind) {
    case Number::signed_integer:
      if (n.i < 0 || static_cast<uint64_t>(n.i) > high) return DISP_E_OVERFLOW;
      *out = static_cast<uint64_t>(n.i);
      return S_OK;
    case Number::unsigned_integer:
      if (n.u > high) return DISP_E_OVERFLOW;
      *out = n.u;
      return S_OK;
    default: {
      double r = std::nearbyint(n.d);
      if (std::isnan(r) || r < 0 || r >= 18446744073709551616.0) return DISP_E_OVERFLOW;
      uint64_t v = static_cast<uint64_t>(r);
      if (v > high) return DISP_E_OVERFLOW;
      *out = v;
      return S_OK;
    }
  }
}

HRESULT currency_of(const Number& n, int64_t* out) {
  constexpr int64_t limit = std::numeric_limits<int64_t>::max() / currency_scale;
  if (n.kind == Number::signed_integer) {
    if (n.i > limit || n.i < -limit) return DISP_E_OVERFLOW;
    *out = n.i * currency_scale;
    return S_OK;
  }
  if (n.kind == Number::unsigned_integer) {
    if (n.u > static_cast<uint64_t>(limit)) return DISP_E_OVERFLOW;
    *out = static_cast<int64_t>(n.u) * currency_scale;
    return S_OK;
  }
  return signed_of(Number::of_real(n.d * currency_scale), std::numeric_limits<int64_t>::min(),
                   std::numeric_limits<int64_t>::max(), out);
}

HRESULT store_number(const Number& n, VARTYPE vt, VARIANT* out) {
  int64_t s = 0;
  uint64_t u = 0;
  HRESULT hr = S_OK;
  switch (vt) {
    case VT_I1: hr = signed_of(n, INT8_MIN, INT8_MAX, &s); out->cVal = static_cast<int8_t>(s); break;
    case VT_I2: hr = signed_of(n, INT16_MIN, INT16_MAX, &s); out->iVal = static_cast<int16_t>(s); break;
    case VT_I4:
    case VT_INT: hr = signed_of(n, INT32_MIN, INT32_MAX, &s); out->lVal = static_cast<int32_t>(s); break;
    case VT_I8: hr = signed_of(n, INT64_MIN, INT64_MAX, &s); out->llVal = s; break;
    case VT_UI1: hr = unsigned_of(n, UINT8_MAX, &u); out->bVal = static_cast<uint8_t>(u); break;
    case VT_UI2: hr = unsigned_of(n, UINT16_MAX, &u); out->uiVal = static_cast<uint16_t>(u); break;
    case VT_UI4:
    case VT_UINT: hr = unsigned_of(n, UINT32_MAX, &u); out->ulVal = static_cast<uint32_t>(u); break;
    case VT_UI8: hr = unsigned_of(n, UINT64_MAX, &u); out->ullVal = u; break;
    case VT_R4: {
      double d = n.as_double();
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->fltVal = static_cast<float>(d);
      break;
    }
    case VT_R8: out->dblVal = n.as_double(); break;
    case VT_CY: hr = currency_of(n, &out->cyVal.int64); break;
    case VT_DATE: {
      double d = n.as_double();
      if (!is_valid_ole_date(d)) return DISP_E_OVERFLOW;
      out->date = d;
      break;
    }
    case VT_BOOL: out->boolVal = n.is_zero() ? VARIANT_FALSE : VARIANT_TRUE; break;
    case VT_DECIMAL: {
      DECIMAL d;
      hr = decimal_of_number(n, &d);
      if (SUCCEEDED(hr)) out->decVal = d;
      break;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
  if (FAILED(hr)) return hr;
  out->vt = vt;  // after decVal: its reserved word lies over the type
  return S_OK;
}

bool is_numeric_target(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_INT: case VT_I8:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UINT: case VT_UI8:
    case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BOOL: case VT_DECIMAL:
      return true;
    default:
      return false;
  }
}

// The number a VARIANT holds; DISP_E_TYPEMISMATCH for values that are not numbers.
HRESULT number_of(const VARIANT& v, VARTYPE target, Number* out) {
  switch (v.vt) {
    case VT_EMPTY: *out = Number::of_signed(0); return S_OK;
    case VT_I1: *out = Number::of_signed(v.cVal); return S_OK;
    case VT_I2: *out = Number::of_signed(v.iVal); return S_OK;
    case VT_I4:
    case VT_INT:
    case VT_HRESULT: *out = Number::of_signed(v.lVal); return S_OK;
    case VT_I8:
    case VT_INT_PTR: *out = Number::of_signed(v.llVal); return S_OK;
    case VT_UI1: *out = Number::of_unsigned(v.bVal); return S_OK;
    case VT_UI2: *out = Number::of_unsigned(v.uiVal); return S_OK;
    case VT_UI4:
    case VT_UINT: *out = Number::of_unsigned(v.ulVal); return S_OK;
    case VT_UI8:
    case VT_UINT_PTR: *out = Number::of_unsigned(v.ullVal); return S_OK;
    case VT_R4: *out = Number::of_real(v.fltVal); return S_OK;
    case VT_R8: *out = Number::of_real(v.dblVal); return S_OK;
    case VT_DATE: *out = Number::of_real(v.date); return S_OK;
    case VT_BOOL: *out = Number::of_signed(v.boolVal ? -1 : 0); return S_OK;
    case VT_CY:
      if (v.cyVal.int64 % currency_scale == 0)
        *out = Number::of_signed(v.cyVal.int64 / currency_scale);
      else
        *out = Number::of_real(static_cast<double>(v.cyVal.int64) / currency_scale);
      return S_OK;
    case VT_DECIMAL: *out = number_of_decimal(v.decVal); return S_OK;
    case VT_BSTR:
      if (target == VT_DATE) {
        DATE d;
        HRESULT hr = date_from_text(v.bstrVal, &d);
        if (SUCCEEDED(hr)) *out = Number::of_real(d);
        return hr;
      }
      if (target == VT_BOOL) {
        bool ascii;
        std::string s = trimmed_ascii(v.bstrVal, &ascii);
        if (equals_ignoring_case(s, "true")) return *out = Number::of_signed(-1), S_OK;
        if (equals_ignoring_case(s, "false")) return *out = Number::of_signed(0), S_OK;
      }
      return number_from_text(v.bstrVal, out);
    default: return DISP_E_TYPEMISMATCH;
  }
}

HRESULT text_of(const VARIANT& v, uint16_t flags, std::string* out) {
  switch (v.vt) {
    case VT_EMPTY: out->clear(); return S_OK;
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
        *out = v.boolVal ? "True" : "False";
      else
        *out = v.boolVal ? "-1" : "0";
      return S_OK;
    case VT_R4: *out = text_of_real(v.fltVal, 7); return S_OK;
    case VT_R8: *out = text_of_real(v.dblVal, 15); return S_OK;
    case VT_CY: *out = text_of_currency(v.cyVal.int64); return S_OK;
    case VT_DECIMAL: *out = text_of_decimal(v.decVal); return S_OK;
    case VT_DATE:
      if (!is_valid_ole_date(v.date)) return DISP_E_OVERFLOW;
      *out = text_of_date(v.date);
      return S_OK;
    default: {
      Number n;
      if (FAILED(number_of(v, VT_BSTR, &n)) || n.kind == Number::real) return DISP_E_TYPEMISMATCH;
      *out = n.kind == Number::signed_integer ? std::to_string(n.i) : std::to_string(n.u);
      return S_OK;
    }
  }
}

HRESULT convert(VARIANT* result, const VARIANT& source, uint16_t flags, VARTYPE vt);

// An object's value for conversion: its default member, read as a property.
HRESULT convert_object_value(VARIANT* result, const VARIANT& source, uint16_t flags,
                             VARTYPE vt) {
  if (!source.punkVal || (flags & VARIANT_NOVALUEPROP)) return DISP_E_TYPEMISMATCH;
  ComRef<IDispatch> object;
  if (FAILED(source.punkVal->QueryInterface(IID_IDispatch, object.put_void())) || !object)
    return DISP_E_TYPEMISMATCH;
  VARIANT value;
  VariantInit(&value);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  HRESULT hr = object->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                              &none, &value, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    // The value of a value is not looked up again: an object whose default member returns
    // an object would otherwise recurse without end.
    if (value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN)
      hr = DISP_E_TYPEMISMATCH;
    else
      hr = convert(result, value, flags | VARIANT_NOVALUEPROP, vt);
  }
  VariantClear(&value);
  return hr;
}

HRESULT convert_to_interface(VARIANT* result, const VARIANT& source, VARTYPE vt) {
  if (source.vt != VT_DISPATCH && source.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
  void* object = nullptr;
  if (source.punkVal) {
    HRESULT hr = source.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown,
                                                &object);
    if (FAILED(hr)) return vt == VT_DISPATCH ? DISP_E_TYPEMISMATCH : hr;
  }
  result->vt = vt;
  result->punkVal = static_cast<IUnknown*>(object);
  return S_OK;
}

HRESULT convert(VARIANT* result, const VARIANT& source, uint16_t flags, VARTYPE vt) {
  if (source.vt == vt) return VariantCopy(result, &source);
  if (vt == VT_EMPTY) return S_OK;
  if (vt == VT_NULL) {
    if (source.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
    result->vt = VT_NULL;
    return S_OK;
  }
  if ((source.vt | vt) & VT_ARRAY) return DISP_E_TYPEMISMATCH;
  if (vt == VT_DISPATCH || vt == VT_UNKNOWN) return convert_to_interface(result, source, vt);
  if (source.vt == VT_DISPATCH || source.vt == VT_UNKNOWN)
    return convert_object_value(result, source, flags, vt);
  if (vt == VT_BSTR) {
    std::string text;
    HRESULT hr = text_of(source, flags, &text);
    if (FAILED(hr)) return hr;
    BSTR b = bstr_from_utf8(text);
    if (!b) return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    result->bstrVal = b;
    return S_OK;
  }
  if (!is_numeric_target(vt)) return DISP_E_TYPEMISMATCH;
  Number n;
  HRESULT hr = number_of(source, vt, &n);
  if (FAILED(hr)) return hr;
  return store_number(n, vt, result);
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID, uint16_t flags, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  if (!is_variant_type(src->vt)) return DISP_E_BADVARTYPE;
  if (vt != VT_EMPTY && vt != VT_NULL && (!is_variant_type(vt) || (vt & VT_BYREF)))
    return DISP_E_BADVARTYPE;
  VARIANT source;
  VariantInit(&source);
  HRESULT hr = VariantCopyInd(&source, src);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  hr = convert(&result, source, flags, vt);
  VariantClear(&source);
  if (SUCCEEDED(hr)) hr = VariantClear(dest);  // when dest is src, this frees the old value
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  std::memcpy(static_cast<void*>(dest), &result, sizeof(VARIANT));
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt) {
  return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}

}  // namespace quevro::com
