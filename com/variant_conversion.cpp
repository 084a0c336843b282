#include "com/variant_conversion.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "com/com_error.h"
#include "com/dispatch_object.h"
#include "com/enumerator_object.h"
#include "com/ole_date.h"
#include "com/safearray.h"
#include "com/script_object.h"
#include "com/unknown_object.h"
#include "com/variant_object.h"
#include "lib/size64.h"
#include "lib/time_format.h"
#include "lib/time_object.h"
#include "lib/unsigned64.h"
#include "vm/calls.h"
#include "vm/cdata.h"
#include "vm/string.h"

namespace quevro::com {
namespace {

constexpr const char* NO_VALUE_TO_CONVERT = "No value to convert.";
constexpr const char* ARRAY_OF_ARRAYS = "SAFEARRAY of SAFEARRAYS not allowed";
constexpr const char* NOT_AUTOMATION_TYPE = "Type not compatible with automation.";
constexpr const char* IRREGULAR_TABLE = "Cannot convert table to safearray";
constexpr const char* NO_SAFEARRAY = "Can't convert to safearray";
// Nesting deeper than this cannot be a real array; it also stops a table that holds itself.
constexpr size_t MAX_DIMENSIONS = 32;

[[noreturn]] void raise_hresult(VmState* L, HRESULT hr) { runtime_error_text(L, com_error_text(hr)); }

[[noreturn]] void raise_type_not_implemented(VmState* L, VARTYPE vt) {
  char text[64];
  std::snprintf(text, sizeof text, "quevro com library - Type 0x%.2x not implemented.", vt);
  runtime_error_text(L, text);
}

struct ArrayDestroyer {
  void operator()(SAFEARRAY* a) const { SafeArrayDestroy(a); }
};
using ArrayHolder = std::unique_ptr<SAFEARRAY, ArrayDestroyer>;

// Keeps an array locked while its elements are read, so nothing frees it under the reader.
class ArrayLock {
 public:
  explicit ArrayLock(SAFEARRAY* a) : a_(a) { SafeArrayLock(a_); }
  ArrayLock(const ArrayLock&) = delete;
  ArrayLock& operator=(const ArrayLock&) = delete;
  ~ArrayLock() { SafeArrayUnlock(a_); }

 private:
  SAFEARRAY* a_;
};

int64_t truncated_low_32(double n) {
  return static_cast<int32_t>(static_cast<uint32_t>(u64_from_number(n)));
}

// ---- script values to VARIANTs --------------------------------------------------------------

// A table, function or cdata handed to automation code as a script object of its own.
void script_value_to_variant(VmState* L, int idx, VARIANT* out) {
  out->vt = VT_DISPATCH;
  out->pdispVal = ScriptObject::create(L, idx);
}

void bytes_to_variant(VmState* L, const void* bytes, size_t len, VARIANT* out) {
  if (len > 0xFFFFFFFFu) runtime_error_text(L, NO_SAFEARRAY);
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(len));
  if (!array) raise_hresult(L, E_OUTOFMEMORY);
  if (len) std::memcpy(array->pvData, bytes, len);
  out->vt = VT_ARRAY | VT_UI1;
  out->parray = array;
}

void string_to_variant(VmState* L, int idx, VARIANT* out) {
  size_t len;
  const char* s = to_lstring(L, idx, &len);
  BSTR text;
  if (string_flags(L, idx) & STR_WIDE) {
    // Already UTF-16: the units are taken as they are, an odd last byte dropped.
    UINT units = static_cast<UINT>(len / 2);
    text = SysAllocStringLen(nullptr, units);
    if (text) std::memcpy(text, s, units * sizeof(OLECHAR));
  } else {
    text = bstr_from_utf8(std::string_view(s, len));
  }
  if (!text) raise_hresult(L, E_OUTOFMEMORY);
  out->vt = VT_BSTR;
  out->bstrVal = text;
}

void cdata_to_variant(VmState* L, int idx, VARIANT* out) {
  uint64_t value;
  if (is_size64(L, idx) && to_size64(L, idx, &value)) {
    out->vt = VT_UI8;
    out->ullVal = value;
    return;
  }
  if (IUnknown* object = to_unknown_object(L, idx)) {
    object->AddRef();
    out->vt = VT_UNKNOWN;
    out->punkVal = object;
    return;
  }
  if (VARIANT* boxed = to_variant_object(L, idx)) {
    HRESULT hr = VariantCopy(out, boxed);
    if (FAILED(hr)) raise_hresult(L, hr);
    return;
  }
  CdataObject* data = stack_address(L, idx)->cdata();
  if (data->is_buffer()) return bytes_to_variant(L, data->data(), data->size, out);
  script_value_to_variant(L, idx, out);
}

thread_local bool utc_dates = false;

void time_to_variant(VmState* L, int idx, VARIANT* out) {
  CivilTime t = read_fields(L, idx);
  if (utc_dates && !is_utc_object(L, idx)) {
    // A local time crosses as the UTC time of the same instant.
    int64_t seconds = seconds_of(L, t, false);
    int ms = t.milliseconds;
    t = fields_at(L, seconds * 1000 + ms, true);
  }
  SYSTEMTIME st{static_cast<WORD>(t.year),   static_cast<WORD>(t.month),
                static_cast<WORD>(t.dayofweek), static_cast<WORD>(t.day),
                static_cast<WORD>(t.hour),   static_cast<WORD>(t.minute),
                static_cast<WORD>(t.second), static_cast<WORD>(t.milliseconds)};
  DATE date;
  if (!SystemTimeToVariantTime(&st, &date)) raise_hresult(L, DISP_E_OVERFLOW);
  out->vt = VT_DATE;
  out->date = date;
}

bool metafield_text_is(VmState* L, int idx, const char* field, const char* text) {
  if (!get_metafield(L, idx, field)) return false;
  bool same = is_string(L, -1) && std::strcmp(to_string(L, -1), text) == 0;
  pop(L, 1);
  return same;
}

bool is_array_table(VmState* L, int idx) {
  if (metafield_text_is(L, idx, "_type", "array")) return true;
  if (metafield_text_is(L, idx, "_type", "object")) return false;
  return RawTable(L, idx).length() != 0;
}

VARTYPE array_element_type(VARTYPE requested, VARTYPE preferred_array) {
  if (requested == VT_VARIANT) return preferred_array;
  return static_cast<VARTYPE>(requested & ~VT_ARRAY);
}

// The number from `_tonumber`, typed by the first letter of `_number_type`.
void typed_number_to_variant(VmState* L, int idx, VARIANT* out) {
  std::string kind = "double";
  if (get_metafield(L, idx, "_number_type")) {
    if (is_string(L, -1)) kind = to_string(L, -1);
    pop(L, 1);
  }
  get_metafield(L, idx, "_tonumber");
  push_value(L, idx);
  call(L, 1, 1);
  char letter = kind.empty() ? '\0' : kind[0];
  if (letter == 'l' || letter == 'L') {
    uint64_t bits = check_size64(L, -1);
    out->vt = letter == 'l' ? VT_I8 : VT_UI8;
    out->ullVal = bits;
    pop(L, 1);
    return;
  }
  double n = to_number(L, -1);
  pop(L, 1);
  switch (letter) {
    case 'd': return number_to_variant(n, VT_R8, out);
    case 'f': return number_to_variant(n, VT_R4, out);
    case 'w': return number_to_variant(n, VT_I2, out);
    case 'W': return number_to_variant(n, VT_UI2, out);
    case 'b': return number_to_variant(n, VT_I1, out);
    case 'B': return number_to_variant(n, VT_UI1, out);
    case 'i': return number_to_variant(n, VT_I4, out);
    case 'I': return number_to_variant(n, VT_UI4, out);
    default: runtime_error(L, "Invalid number type '%s'", kind.c_str());
  }
}

void table_to_variant(VmState* L, int idx, VARIANT* out, VARTYPE requested, VARTYPE preferred) {
  if (DispatchWrapper* object = to_dispatch_object(L, idx)) {
    object->dispatch->AddRef();
    out->vt = VT_DISPATCH;
    out->pdispVal = object->dispatch;
    return;
  }
  raw_get_field(L, idx, "_dispatch");
  if (type_of(L, -1) == TAG_POINTER && stack_address(L, -1)->u.p) {
    auto* dispatch = static_cast<IDispatch*>(stack_address(L, -1)->u.p);
    pop(L, 1);
    dispatch->AddRef();
    out->vt = VT_DISPATCH;
    out->pdispVal = dispatch;
    return;
  }
  pop(L, 1);
  if (get_metafield(L, idx, "_toComObject")) {
    push_value(L, idx);
    call(L, 1, 1);
    to_variant(L, -1, out, requested, preferred);
    pop(L, 1);
    return;
  }
  if (is_time_object(L, idx)) return time_to_variant(L, idx, out);
  if (get_metafield(L, idx, "_safearray_type")) {
    VARTYPE element = static_cast<VARTYPE>(to_integer(L, -1));
    pop(L, 1);
    return table_to_safearray(L, idx, element, out);
  }
  if (is_array_table(L, idx))
    return table_to_safearray(L, idx, array_element_type(requested, preferred), out);
  raw_get_field(L, idx, "_safearray");
  bool has_safearray = type_of(L, -1) != TAG_NULL;
  pop(L, 1);
  if (has_safearray) return table_to_safearray(L, idx, array_element_type(requested, preferred), out);
  if (get_metafield(L, idx, "_tonumber")) {
    pop(L, 1);
    return typed_number_to_variant(L, idx, out);
  }
  script_value_to_variant(L, idx, out);
}

// ---- tables to SAFEARRAYs -------------------------------------------------------------------

// A table that forms a further dimension rather than one element.
bool is_nested_level(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_TABLE || is_time_object(L, idx)) return false;
  if (metafield_text_is(L, idx, "_type", "object")) return false;
  raw_get_field(L, idx, "__thisPointer");
  bool is_object_view = type_of(L, -1) != TAG_NULL;
  pop(L, 1);
  return !is_object_view;
}

// The lengths of the levels, following the first element down.
std::vector<ULONG> array_shape(VmState* L, int idx) {
  std::vector<ULONG> dims;
  check_stack(L, static_cast<int>(MAX_DIMENSIONS) + 2);
  int base = get_top(L);
  push_value(L, idx);
  for (;;) {
    int64_t n = RawTable(L, -1).length();
    if (n > 0x7FFFFFFF || dims.size() == MAX_DIMENSIONS) {
      set_top(L, base);
      runtime_error_text(L, IRREGULAR_TABLE);
    }
    dims.push_back(static_cast<ULONG>(n));
    if (n == 0) break;
    raw_get_index(L, -1, 1);
    if (!is_nested_level(L, -1)) break;
  }
  set_top(L, base);
  return dims;
}

enum ElementKinds : unsigned { KIND_NUMBER = 1, KIND_STRING = 2, KIND_OTHER = 4, KIND_OBJECT = 8 };

unsigned leaf_kinds(VmState* L, int idx, size_t level, const std::vector<ULONG>& dims) {
  unsigned kinds = 0;
  for (ULONG i = 0; i < dims[level]; ++i) {
    raw_get_index(L, idx, i + 1);
    if (level + 1 < dims.size()) {
      if (is_nested_level(L, -1)) kinds |= leaf_kinds(L, get_top(L), level + 1, dims);
    } else {
      int tag = type_of(L, -1);
      kinds |= tag == TAG_NUMBER   ? KIND_NUMBER
               : tag == TAG_STRING ? KIND_STRING
               : to_dispatch_object(L, -1) ? KIND_OBJECT
                                            : KIND_OTHER;
    }
    pop(L, 1);
  }
  return kinds;
}

VARTYPE element_type_of(VmState* L, int idx, const std::vector<ULONG>& dims) {
  unsigned kinds = leaf_kinds(L, idx, 0, dims);
  if (kinds == KIND_NUMBER) return VT_R8;
  if (kinds == KIND_STRING) return VT_BSTR;
  if (kinds == KIND_OBJECT) return VT_DISPATCH;
  return VT_VARIANT;
}

void put_element(VmState* L, SAFEARRAY* array, const LONG* indices, VARTYPE element) {
  VariantHolder item;
  to_variant(L, -1, item.get());
  if (element != VT_VARIANT) {
    HRESULT hr = VariantChangeType(item.get(), item.get(), 0, element);
    if (FAILED(hr)) raise_hresult(L, hr);
  }
  VARIANT* v = item.get();
  void* value;
  switch (element) {
    case VT_VARIANT: value = v; break;
    case VT_BSTR: value = v->bstrVal; break;
    case VT_DISPATCH:
    case VT_UNKNOWN: value = v->punkVal; break;
    case VT_DECIMAL: value = &v->decVal; break;
    default: value = &v->llVal; break;
  }
  HRESULT hr = SafeArrayPutElement(array, indices, value);
  if (FAILED(hr)) raise_hresult(L, hr);
}

void fill_level(VmState* L, int idx, SAFEARRAY* array, VARTYPE element,
                const std::vector<ULONG>& dims, size_t level, std::vector<LONG>& indices) {
  check_stack(L, 4);
  bool last = level + 1 == dims.size();
  for (ULONG i = 0; i < dims[level]; ++i) {
    indices[level] = static_cast<LONG>(i);
    raw_get_index(L, idx, i + 1);
    if (last) {
      put_element(L, array, indices.data(), element);
    } else {
      if (!is_nested_level(L, -1) || RawTable(L, -1).length() != dims[level + 1])
        runtime_error_text(L, IRREGULAR_TABLE);
      fill_level(L, get_top(L), array, element, dims, level + 1, indices);
    }
    pop(L, 1);
  }
}

// ---- VARIANTs to script values --------------------------------------------------------------

void push_time(VmState* L, DATE date) {
  SYSTEMTIME st;
  if (!VariantTimeToSystemTime(date, &st)) raise_hresult(L, DISP_E_OVERFLOW);
  CivilTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.dayofweek = st.wDayOfWeek;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.milliseconds = 0;
  if (!utc_dates) return push_time_object(L, t, DEFAULT_TIME_FORMAT, nullptr, 0);
  // The date is a UTC time: the object says so with its format.
  std::string format = "!" + std::string(DEFAULT_TIME_FORMAT);
  int64_t seconds = seconds_of(L, t, true);
  t = fields_at(L, seconds * 1000, true);
  push_time_object(L, t, format, nullptr, 0);
}

void push_interface(VmState* L, IUnknown* object, VARTYPE vt) {
  if (!object) return push_null(L);
  // One of this machine's script objects comes back as the value it was made from.
  if (push_script_object_value(L, object)) return;
  ComRef<IDispatch> dispatch;
  if (vt == VT_DISPATCH)
    dispatch = ComRef<IDispatch>::share(static_cast<IDispatch*>(object));
  else if (FAILED(object->QueryInterface(IID_IDispatch, dispatch.put_void())) &&
           FAILED(object->QueryInterface(IID_NetObject, dispatch.put_void())))
    dispatch.reset();
  if (dispatch) return push_dispatch_object(L, dispatch.get());
  ComRef<IEnumVARIANT> items;
  if (SUCCEEDED(object->QueryInterface(IID_IEnumVARIANT, items.put_void())) && items)
    return push_enumerator_object(L, items.get());
  push_unknown_object(L, object);
}

void push_as_number(VmState* L, const VARIANT* v) {
  VariantHolder r8;
  HRESULT hr = VariantChangeType(r8.get(), v, 0, VT_R8);
  if (FAILED(hr)) raise_hresult(L, hr);
  push_number(L, r8.get()->dblVal);
}

// An element of an array seen as a VARIANT that borrows its contents (never cleared).
VARIANT element_view(const void* address, VARTYPE element, ULONG size) {
  VARIANT view;
  VariantInit(&view);
  if (element == VT_DECIMAL) {
    std::memcpy(&view.decVal, address, sizeof(DECIMAL));
  } else {
    std::memcpy(&view.llVal, address, size < 16 ? size : 16);
  }
  view.vt = element;
  return view;
}

void push_level(VmState* L, SAFEARRAY* array, VARTYPE element, int metatable, size_t level,
                std::vector<LONG>& indices) {
  check_stack(L, 4);
  UINT dims = SafeArrayGetDim(array);
  LONG lower, upper;
  SafeArrayGetLBound(array, static_cast<UINT>(level + 1), &lower);
  SafeArrayGetUBound(array, static_cast<UINT>(level + 1), &upper);
  int64_t count = int64_t{upper} - lower + 1;
  new_array(L, count > 0x10000 ? 0x10000 : static_cast<int>(count));
  int table = get_top(L);
  for (int64_t i = 0; i < count; ++i) {
    indices[level] = static_cast<LONG>(lower + i);
    if (level + 1 == dims) {
      void* address;
      HRESULT hr = SafeArrayPtrOfIndex(array, indices.data(), &address);
      if (FAILED(hr)) raise_hresult(L, hr);
      if (element == VT_VARIANT) {
        push_variant(L, static_cast<const VARIANT*>(address));
      } else {
        VARIANT view = element_view(address, element, SafeArrayGetElemsize(array));
        push_variant(L, &view);
      }
    } else {
      push_level(L, array, element, metatable, level + 1, indices);
    }
    raw_set_index(L, table, i + 1);
  }
  push_value(L, metatable);
  set_metatable(L, table);
}

}  // namespace

UtcDateScope::UtcDateScope(bool on) : previous_(utc_dates) { utc_dates = on; }
UtcDateScope::~UtcDateScope() { utc_dates = previous_; }

void number_to_variant(double n, VARTYPE requested, VARIANT* out) {
  uint64_t bits = u64_from_number(n);
  switch (requested) {
    case VT_I2: out->vt = VT_I2; out->iVal = static_cast<int16_t>(bits); return;
    case VT_I4:
    case VT_INT: out->vt = VT_I4; out->lVal = static_cast<int32_t>(bits); return;
    case VT_R4: out->vt = VT_R4; out->fltVal = static_cast<float>(n); return;
    case VT_R8: out->vt = VT_R8; out->dblVal = n; return;
    case VT_I1: out->vt = VT_I1; out->cVal = static_cast<int8_t>(bits); return;
    case VT_UI1: out->vt = VT_UI1; out->bVal = static_cast<uint8_t>(bits); return;
    case VT_UI2: out->vt = VT_UI2; out->uiVal = static_cast<uint16_t>(bits); return;
    case VT_UI4:
    case VT_UINT: out->vt = VT_UI4; out->ulVal = static_cast<uint32_t>(bits); return;
    case VT_I8: out->vt = VT_I8; out->llVal = static_cast<int64_t>(bits); return;
    case VT_UI8: out->vt = VT_UI8; out->ullVal = bits; return;
    default: break;
  }
  if (requested != VT_VARIANT) {
    VARIANT r8;
    VariantInit(&r8);
    r8.vt = VT_R8;
    r8.dblVal = n;
    if (SUCCEEDED(VariantChangeType(out, &r8, 0, requested))) return;
  }
  int64_t whole = truncated_low_32(n);
  if (n == 0 || std::fabs(n - static_cast<double>(whole)) < 1e-10) {
    out->vt = VT_I4;
    out->lVal = static_cast<int32_t>(whole);
  } else {
    out->vt = VT_R8;
    out->dblVal = n;
  }
}

void to_variant(VmState* L, int idx, VARIANT* out, VARTYPE requested, VARTYPE preferred_array) {
  if (idx < 0 && idx > REGISTRY_INDEX) idx = get_top(L) + idx + 1;
  check_stack(L, 4);
  switch (type_of(L, idx)) {
    case TAG_NULL: out->vt = VT_EMPTY; return;
    case TAG_BOOLEAN:
      out->vt = VT_BOOL;
      out->boolVal = to_boolean(L, idx) ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case TAG_POINTER:
      out->vt = VT_PTR;
      out->byref = stack_address(L, idx)->u.p;
      return;
    case TAG_NUMBER: return number_to_variant(to_number(L, idx), requested, out);
    case TAG_STRING: return string_to_variant(L, idx, out);
    case TAG_CDATA: return cdata_to_variant(L, idx, out);
    case TAG_TABLE: return table_to_variant(L, idx, out, requested, preferred_array);
    case TAG_FUNCTION: return script_value_to_variant(L, idx, out);
    default: runtime_error_text(L, NO_VALUE_TO_CONVERT);
  }
}

void table_to_safearray(VmState* L, int idx, VARTYPE element, VARIANT* out) {
  if (idx < 0 && idx > REGISTRY_INDEX) idx = get_top(L) + idx + 1;
  check_stack(L, 4);
  raw_get_field(L, idx, "_safearray");
  if (type_of(L, -1) == TAG_STRING) {
    size_t len;
    const char* bytes = to_lstring(L, -1, &len);
    bytes_to_variant(L, bytes, len, out);
    pop(L, 1);
    return;
  }
  if (type_of(L, -1) == TAG_CDATA && stack_address(L, -1)->cdata()->is_buffer()) {
    CdataObject* data = stack_address(L, -1)->cdata();
    bytes_to_variant(L, data->data(), data->size, out);
    pop(L, 1);
    return;
  }
  if (type_of(L, -1) == TAG_TABLE) {
    raw_get_field(L, idx, "_type");
    if (is_number(L, -1)) element = static_cast<VARTYPE>(to_integer(L, -1));
    pop(L, 1);
    table_to_safearray(L, get_top(L), element, out);
    pop(L, 1);
    return;
  }
  pop(L, 1);

  if (element != NO_PREFERRED_TYPE && (element & VT_ARRAY)) runtime_error_text(L, ARRAY_OF_ARRAYS);
  std::vector<ULONG> dims = array_shape(L, idx);
  if (element == NO_PREFERRED_TYPE) element = element_type_of(L, idx, dims);
  if (safearray_element_size(element) == 0) runtime_error_text(L, NOT_AUTOMATION_TYPE);

  uint64_t total = 1;
  std::vector<SAFEARRAYBOUND> bounds;
  for (ULONG n : dims) {
    total *= n;
    if (total > 0x7FFFFFFF) runtime_error_text(L, NO_SAFEARRAY);
    bounds.push_back(SAFEARRAYBOUND{n, 0});
  }
  ArrayHolder array(SafeArrayCreate(element, static_cast<UINT>(dims.size()), bounds.data()));
  if (!array) runtime_error_text(L, NO_SAFEARRAY);
  std::vector<LONG> indices(dims.size(), 0);
  if (total != 0) fill_level(L, idx, array.get(), element, dims, 0, indices);
  out->vt = static_cast<VARTYPE>(VT_ARRAY | element);
  out->parray = array.release();
}

void push_safearray(VmState* L, SAFEARRAY* array, VARTYPE element) {
  check_stack(L, 4);
  UINT dims = array ? SafeArrayGetDim(array) : 0;
  uint64_t total = dims ? 1 : 0;
  for (UINT d = 1; d <= dims; ++d) {
    LONG lower, upper;
    SafeArrayGetLBound(array, d, &lower);
    SafeArrayGetUBound(array, d, &upper);
    total *= static_cast<uint64_t>(int64_t{upper} - lower + 1);
  }
  if (total == 0) return push_null(L);
  // An array that records its element type is read as what it holds, whatever the caller
  // assumed; otherwise the assumed type must at least have the stored elements' size.
  VARTYPE recorded;
  if (SUCCEEDED(SafeArrayGetVartype(array, &recorded))) element = recorded;
  else if (safearray_element_size(element) != SafeArrayGetElemsize(array))
    runtime_error_text(L, NOT_AUTOMATION_TYPE);
  ArrayLock lock(array);
  if (element == VT_UI1) {
    push_lstring(L, static_cast<const char*>(array->pvData), static_cast<size_t>(total));
    return;
  }
  if (element == VT_EMPTY || element == VT_NULL || element == VT_ILLEGAL)
    raise_type_not_implemented(L, element);
  new_table(L, 0, 1);
  push_number(L, element);
  set_field(L, -2, "_safearray_type");
  int metatable = get_top(L);
  std::vector<LONG> indices(dims, 0);
  push_level(L, array, element, metatable, 0, indices);
  remove(L, metatable);
}

void push_variant(VmState* L, const VARIANT* v) {
  check_stack(L, 4);
  VARTYPE vt = v->vt;
  if (vt & VT_BYREF) {
    VariantHolder value;
    HRESULT hr = VariantCopyInd(value.get(), v);
    if (FAILED(hr)) raise_hresult(L, hr);
    return push_variant(L, value.get());
  }
  if (vt & VT_ARRAY) return push_safearray(L, v->parray, static_cast<VARTYPE>(vt & VT_TYPEMASK));
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR: return push_null(L);
    case VT_BOOL: return push_boolean(L, v->boolVal != VARIANT_FALSE);
    case VT_BSTR: {
      std::string text = utf8_from_bstr(v->bstrVal);
      return push_lstring(L, text.data(), text.size());
    }
    case VT_R8: return push_number(L, v->dblVal);
    case VT_DATE: return push_time(L, v->date);
    case VT_UI8: return push_size64(L, v->ullVal);
    case VT_VOID:
    case VT_INT_PTR:
    case VT_UINT_PTR: return push_pointer(L, v->byref);
    case VT_DISPATCH:
    case VT_UNKNOWN: return push_interface(L, v->punkVal, vt);
    // The small types convert exactly; the type changer would give the same numbers.
    case VT_I2: return push_number(L, v->iVal);
    case VT_I4:
    case VT_INT: return push_number(L, v->lVal);
    case VT_R4: return push_number(L, v->fltVal);
    case VT_I1: return push_number(L, v->cVal);
    case VT_UI1: return push_number(L, v->bVal);
    case VT_UI2: return push_number(L, v->uiVal);
    case VT_UI4:
    case VT_UINT: return push_number(L, v->ulVal);
    case VT_CY: case VT_DECIMAL: case VT_I8:
      return push_as_number(L, v);
    // The type changer has no conversion from a code; its number is the value.
    case VT_HRESULT: return push_number(L, v->lVal);
    default: raise_type_not_implemented(L, vt);
  }
}

}  // namespace quevro::com
