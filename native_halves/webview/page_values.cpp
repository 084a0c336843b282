#include "page_values.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "page_object.h"

namespace webview_com {
namespace {

constexpr int MAX_DEPTH = 64;
constexpr double MAX_ELEMENTS = 1 << 24;
// Days between the automation epoch (1899-12-30) and 1970-01-01.
constexpr double EPOCH_DAYS = 25569.0;
constexpr double MS_PER_DAY = 86400000.0;

// UTF-8 from the page's engine to UTF-16, zero characters included (the toolkit's converters stop
// at the first one). Malformed sequences, which the engine does not produce, become U+FFFD.
std::u16string utf16_of(const unsigned char* p, size_t n) {
  std::u16string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    unsigned c = p[i];
    size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
    if (extra == 9 || i + extra >= n) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    bool ok = true;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (!ok || cp > 0x10FFFF) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

BSTR make_string(const char* utf8, size_t length, std::string* error) {
  std::u16string wide = utf16_of(reinterpret_cast<const unsigned char*>(utf8), length);
  BSTR s = automation()->alloc_string(wide.data(), static_cast<UINT>(wide.size()));
  if (!s) *error = "out of memory";
  return s;
}

bool convert(JSCValue* value, VARIANT* out, int depth, std::string* error);

bool convert_array(JSCValue* value, VARIANT* out, int depth, std::string* error) {
  JSCValue* length_value = jsc_value_object_get_property(value, "length");
  double length = jsc_value_to_double(length_value);
  g_object_unref(length_value);
  if (!(length >= 0 && length <= MAX_ELEMENTS)) {
    *error = "an array too long";
    return false;
  }
  auto count = static_cast<ULONG>(length);
  SAFEARRAY* array = automation()->create_vector(VT_VARIANT, 0, count);
  if (!array) {
    *error = "out of memory";
    return false;
  }
  out->vt = VT_ARRAY | VT_VARIANT;
  out->parray = array;  // from here on clearing *out frees what was filled
  for (ULONG i = 0; i < count; ++i) {
    void* slot = nullptr;
    LONG index = static_cast<LONG>(i);
    if (failed(automation()->array_element(array, &index, &slot))) {
      *error = "an array element out of reach";
      return false;
    }
    JSCValue* item = jsc_value_object_get_property_at_index(value, i);
    bool ok = convert(item, static_cast<VARIANT*>(slot), depth + 1, error);
    g_object_unref(item);
    if (!ok) return false;
  }
  return true;
}

bool convert_object(JSCValue* value, VARIANT* out, int depth, std::string* error) {
  std::vector<std::pair<std::u16string, VARIANT>> members;
  gchar** names = jsc_value_object_enumerate_properties(value);
  bool ok = true;
  for (gchar** n = names; ok && n && *n; ++n) {
    glong units = 0;
    gunichar2* wide = g_utf8_to_utf16(*n, -1, nullptr, &units, nullptr);
    if (!wide) continue;
    std::u16string name(reinterpret_cast<const char16_t*>(wide), static_cast<size_t>(units));
    g_free(wide);
    VARIANT v{};
    JSCValue* item = jsc_value_object_get_property(value, *n);
    ok = convert(item, &v, depth + 1, error);
    g_object_unref(item);
    if (ok) members.emplace_back(std::move(name), v);
  }
  g_strfreev(names);
  if (!ok) {
    for (auto& m : members) automation()->variant_clear(&m.second);
    return false;
  }
  out->vt = VT_DISPATCH;
  out->pdispVal = PageObject::create(std::move(members));
  return true;
}

bool convert(JSCValue* value, VARIANT* out, int depth, std::string* error) {
  *out = VARIANT{};
  if (depth > MAX_DEPTH) {
    *error = "a value nested too deeply";
    return false;
  }
  if (jsc_value_is_undefined(value)) return true;
  if (jsc_value_is_null(value)) {
    out->vt = VT_NULL;
    return true;
  }
  if (jsc_value_is_boolean(value)) {
    out->vt = VT_BOOL;
    out->boolVal = jsc_value_to_boolean(value) ? -1 : 0;
    return true;
  }
  if (jsc_value_is_number(value)) {
    double n = jsc_value_to_double(value);
    if (n >= -2147483648.0 && n <= 2147483647.0 && std::trunc(n) == n && !(n == 0 && std::signbit(n))) {
      out->vt = VT_I4;
      out->lVal = static_cast<int32_t>(n);
    } else {
      out->vt = VT_R8;
      out->dblVal = n;
    }
    return true;
  }
  if (jsc_value_is_string(value)) {
    GBytes* bytes = jsc_value_to_string_as_bytes(value);
    gsize length = 0;
    const char* text = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &length)) : nullptr;
    BSTR s = make_string(text ? text : "", text ? static_cast<size_t>(length) : 0, error);
    if (bytes) g_bytes_unref(bytes);
    if (!s) return false;
    out->vt = VT_BSTR;
    out->bstrVal = s;
    return true;
  }
  if (jsc_value_is_function(value)) {
    *error = "a function cannot be passed to the host";
    return false;
  }
  if (jsc_value_is_array(value)) return convert_array(value, out, depth, error);
  if (jsc_value_is_object(value)) {
    if (jsc_value_object_is_instance_of(value, "Date")) {
      JSCValue* time = jsc_value_object_invoke_method(value, "getTime", G_TYPE_NONE);
      double ms = time ? jsc_value_to_double(time) : NAN;
      if (time) g_object_unref(time);
      if (std::isnan(ms)) {
        *error = "an invalid date";
        return false;
      }
      out->vt = VT_DATE;
      out->date = ms / MS_PER_DAY + EPOCH_DAYS;
      return true;
    }
    return convert_object(value, out, depth, error);
  }
  *error = "a value of a kind the host does not take";
  return false;
}

void append_number(double n, std::string* out) {
  if (std::isnan(n)) {
    *out += "NaN";
  } else if (std::isinf(n)) {
    *out += n > 0 ? "Infinity" : "-Infinity";
  } else {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", n);
    *out += buf;
  }
}

bool emit(const VARIANT* v, std::string* out, std::string* error, int depth);

// One dimension of an array (dims counted from 1, the leftmost), its elements of type element.
bool emit_dimension(SAFEARRAY* array, VARTYPE element, UINT dim, UINT dims, std::vector<LONG>& indices,
                    std::string* out, std::string* error, int depth) {
  LONG low = 0, high = -1;
  if (failed(automation()->array_lower_bound(array, dim, &low)) ||
      failed(automation()->array_upper_bound(array, dim, &high))) {
    *error = "an array without bounds";
    return false;
  }
  *out += '[';
  for (LONG i = low; i <= high; ++i) {
    if (i > low) *out += ',';
    indices[dim - 1] = i;
    if (dim < dims) {
      if (!emit_dimension(array, element, dim + 1, dims, indices, out, error, depth)) return false;
      continue;
    }
    void* slot = nullptr;
    if (failed(automation()->array_element(array, indices.data(), &slot))) {
      *error = "an array element out of reach";
      return false;
    }
    if (element == VT_VARIANT) {
      if (!emit(static_cast<const VARIANT*>(slot), out, error, depth + 1)) return false;
      continue;
    }
    // A plain element: a VARIANT of that type over a copy of its bytes (8 at most; strings and
    // objects are pointers), read without taking ownership.
    VARIANT item{};
    item.vt = element;
    size_t size = element == VT_BSTR || element == VT_DISPATCH || element == VT_UNKNOWN ? sizeof(void*) : 8;
    if (element == VT_I1 || element == VT_UI1) size = 1;
    if (element == VT_I2 || element == VT_UI2 || element == VT_BOOL) size = 2;
    if (element == VT_I4 || element == VT_UI4 || element == VT_INT || element == VT_UINT || element == VT_R4 ||
        element == VT_ERROR)
      size = 4;
    if (element == VT_DECIMAL) {
      *out += "null";
      continue;
    }
    std::memcpy(&item.llVal, slot, size);
    if (!emit(&item, out, error, depth + 1)) return false;
  }
  *out += ']';
  return true;
}

bool emit(const VARIANT* v, std::string* out, std::string* error, int depth) {
  if (depth > MAX_DEPTH) {
    *error = "a value nested too deeply";
    return false;
  }
  VARTYPE vt = v->vt;
  if (vt & VT_BYREF) {
    if (!v->byref) {
      *out += "null";
      return true;
    }
    VARIANT target{};
    VARTYPE base = vt & ~VT_BYREF;
    if (base == VT_VARIANT) return emit(v->pvarVal, out, error, depth + 1);
    target.vt = base;
    size_t size = (base & VT_ARRAY) || base == VT_BSTR || base == VT_DISPATCH || base == VT_UNKNOWN ? sizeof(void*) : 8;
    if (base == VT_I1 || base == VT_UI1) size = 1;
    if (base == VT_I2 || base == VT_UI2 || base == VT_BOOL) size = 2;
    if (base == VT_I4 || base == VT_UI4 || base == VT_INT || base == VT_UINT || base == VT_R4 || base == VT_ERROR)
      size = 4;
    if (base == VT_DECIMAL) {
      *error = "a by-reference decimal";
      return false;
    }
    std::memcpy(&target.llVal, v->byref, size);
    return emit(&target, out, error, depth + 1);
  }
  if (vt & VT_ARRAY) {
    SAFEARRAY* array = v->parray;
    if (!array) {
      *out += "null";
      return true;
    }
    UINT dims = automation()->array_dims(array);
    VARTYPE element = vt & VT_TYPEMASK;
    if (dims == 0) {
      *out += "[]";
      return true;
    }
    std::vector<LONG> indices(dims, 0);
    return emit_dimension(array, element, 1, dims, indices, out, error, depth);
  }
  switch (vt) {
    case VT_EMPTY: *out += "undefined"; return true;
    case VT_NULL:
    case VT_ERROR: *out += "null"; return true;
    case VT_BOOL: *out += v->boolVal ? "true" : "false"; return true;
    case VT_BSTR:
      append_string_literal(v->bstrVal, v->bstrVal ? automation()->string_length(v->bstrVal) : 0, out);
      return true;
    case VT_DATE:
      *out += "new Date(";
      append_number(std::round((v->date - EPOCH_DAYS) * MS_PER_DAY), out);
      *out += ')';
      return true;
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      if (!v->punkVal) {
        *out += "null";
        return true;
      }
      void* mine = nullptr;
      if (failed(v->punkVal->QueryInterface(IID_IPageObject, &mine)) || !mine) {
        *error = "an automation object cannot be sent to the page";
        return false;
      }
      auto* object = static_cast<PageObject*>(static_cast<IDispatch*>(mine));
      *out += '{';
      bool first = true;
      bool ok = true;
      for (const auto& m : object->members()) {
        if (!first) *out += ',';
        first = false;
        append_string_literal(m.first.data(), m.first.size(), out);
        *out += ':';
        if (!(ok = emit(&m.second, out, error, depth + 1))) break;
      }
      object->Release();
      *out += '}';
      return ok;
    }
    default: {
      VARIANT number{};
      if (failed(automation()->change_type(&number, v, 0, VT_R8))) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "a value of type 0x%.2x, which the page cannot take", vt);
        *error = buf;
        return false;
      }
      append_number(number.dblVal, out);
      return true;
    }
  }
}

}  // namespace

bool page_value_to_variant(JSCValue* value, VARIANT* out, std::string* error) {
  if (convert(value, out, 0, error)) return true;
  automation()->variant_clear(out);
  *out = VARIANT{};
  return false;
}

bool variant_to_script(const VARIANT* v, std::string* out, std::string* error) {
  return emit(v, out, error, 0);
}

void append_string_literal(const char16_t* text, size_t length, std::string* out) {
  *out += '"';
  for (size_t i = 0; i < length; ++i) {
    char16_t c = text[i];
    if (c == u'"' || c == u'\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      *out += static_cast<char>(c);
    } else {
      // Everything else as an escape: control characters, line separators, and lone surrogates
      // all stay exactly what they were.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      *out += buf;
    }
  }
  *out += '"';
}

std::string string_literal(const std::string& utf8) {
  glong units = 0;
  gunichar2* wide = g_utf8_to_utf16(utf8.c_str(), -1, nullptr, &units, nullptr);
  std::string out;
  if (wide) append_string_literal(reinterpret_cast<const char16_t*>(wide), static_cast<size_t>(units), &out);
  else out = "\"\"";
  g_free(wide);
  return out;
}

}  // namespace webview_com
