// Ownership of VARIANTs: what clearing frees and what copying duplicates.
#include "com/variant.h"

#include <cstring>

#include "com/safearray.h"

namespace quevro::com {

namespace {

bool is_plain_base_type(VARTYPE base) {
  return base <= VT_DECIMAL || (base >= VT_I1 && base <= VT_PTR) ||
         (base >= VT_RECORD && base <= VT_UINT_PTR);
}

// What a by-reference VARIANT of this base type points to, as its size in bytes.
size_t referenced_size(VARTYPE base) {
  switch (base) {
    case VT_VARIANT: return sizeof(VARIANT);
    case VT_DECIMAL: return sizeof(DECIMAL);
    default: return safearray_element_size(base);
  }
}

// Copies into dest, which the caller has cleared, the value src holds (not by reference).
HRESULT copy_value(VARIANT* dest, const VARIANT* src) {
  VARTYPE vt = src->vt;
  if (vt & VT_ARRAY) {
    SAFEARRAY* copy = nullptr;
    HRESULT hr = SafeArrayCopy(src->parray, &copy);
    if (FAILED(hr)) return hr;
    dest->vt = vt;
    dest->parray = copy;
    return S_OK;
  }
  if (vt == VT_BSTR) {
    BSTR copy = nullptr;
    if (src->bstrVal) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal),
                                   SysStringByteLen(src->bstrVal));
      if (!copy) return E_OUTOFMEMORY;
    }
    dest->vt = VT_BSTR;
    dest->bstrVal = copy;
    return S_OK;
  }
  std::memcpy(static_cast<void*>(dest), src, sizeof(VARIANT));
  if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && dest->punkVal) dest->punkVal->AddRef();
  return S_OK;
}

// Makes `value` (cleared by the caller) hold a copy of what the by-reference src points to.
HRESULT copy_referenced(VARIANT* value, const VARIANT* src) {
  VARTYPE base = src->vt & ~VT_BYREF;
  if (!src->byref) return E_INVALIDARG;
  if (base == VT_VARIANT) {
    const VARIANT* inner = src->pvarVal;
    // One level only: a VARIANT that refers to a VARIANT that refers again is malformed.
    if (inner->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
    if (inner->vt & VT_BYREF) return copy_referenced(value, inner);
    return copy_value(value, inner);
  }
  VARIANT direct;
  VariantInit(&direct);
  direct.vt = base;
  if (base & VT_ARRAY) {
    direct.parray = *src->pparray;
  } else if (base == VT_DECIMAL) {
    direct.decVal = *src->pdecVal;
    direct.vt = VT_DECIMAL;
  } else {
    std::memcpy(&direct.llVal, src->byref, referenced_size(base));
  }
  return copy_value(value, &direct);
}

}  // namespace

bool is_variant_type(VARTYPE vt) {
  if (vt & (VT_VECTOR | VT_RESERVED)) return false;
  VARTYPE base = vt & VT_TYPEMASK;
  if (!is_plain_base_type(base)) return false;
  if ((vt & (VT_ARRAY | VT_BYREF)) && (base == VT_EMPTY || base == VT_NULL)) return false;
  if ((vt & VT_ARRAY) && safearray_element_size(base) == 0) return false;
  // A VARIANT holds a VARIANT only by reference.
  if (vt == VT_VARIANT) return false;
  return true;
}

void VariantInit(VARIANT* v) {
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
  v->record.pvRecord = nullptr;
  v->record.pRecInfo = nullptr;
}

HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  VARTYPE vt = v->vt;
  if (!is_variant_type(vt)) return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      HRESULT hr = SafeArrayDestroy(v->parray);
      if (FAILED(hr)) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if ((vt == VT_DISPATCH || vt == VT_UNKNOWN) && v->punkVal) {
      v->punkVal->Release();
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!is_variant_type(src->vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  return copy_value(dest, src);
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (!(src->vt & VT_BYREF)) return VariantCopy(dest, src);
  if (!is_variant_type(src->vt)) return DISP_E_BADVARTYPE;
  // Build the value aside: dest may be src itself.
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = copy_referenced(&value, src);
  if (FAILED(hr)) return hr;
  if (dest != src) {
    hr = VariantClear(dest);
    if (FAILED(hr)) {
      VariantClear(&value);
      return hr;
    }
  }
  std::memcpy(static_cast<void*>(dest), &value, sizeof(VARIANT));
  return S_OK;
}

}  // namespace quevro::com
