#include "com/safearray.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace quevro::com {

namespace {

// The descriptor is preceded by 16 bytes (room for an interface identifier); the element type
// sits in the last four of them.
constexpr size_t descriptor_prefix = 16;
constexpr ULONG max_locks = 0xFFFF;

size_t descriptor_size(UINT dims) {
  return descriptor_prefix + sizeof(SAFEARRAY) + (dims - 1) * sizeof(SAFEARRAYBOUND);
}

char* descriptor_block(SAFEARRAY* array) {
  return reinterpret_cast<char*>(array) - descriptor_prefix;
}

void store_vartype(SAFEARRAY* array, VARTYPE vt) {
  uint32_t value = vt;
  std::memcpy(descriptor_block(array) + descriptor_prefix - 4, &value, 4);
}

uint16_t ownership_feature(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return FADF_BSTR;
    case VT_UNKNOWN: return FADF_UNKNOWN;
    case VT_DISPATCH: return FADF_DISPATCH;
    case VT_VARIANT: return FADF_VARIANT;
    default: return 0;
  }
}

// Bounds of dimension dim (1 = leftmost), held in reverse order.
SAFEARRAYBOUND& bound_of(SAFEARRAY* array, UINT dim) {
  return array->rgsabound[array->cDims - dim];
}

// The number of elements, false when it overflows.
bool element_count(const SAFEARRAY* array, size_t* out) {
  size_t count = 1;
  for (UINT i = 0; i < array->cDims; ++i) {
    size_t n = array->rgsabound[i].cElements;
    if (n != 0 && count > std::numeric_limits<size_t>::max() / n) return false;
    count *= n;
  }
  *out = count;
  return true;
}

size_t total_elements(const SAFEARRAY* array) {
  size_t count = 0;
  element_count(array, &count);
  return count;
}

// The element's position in the data, or false when an index lies outside its dimension.
bool element_offset(SAFEARRAY* array, const LONG* indices, size_t* out) {
  size_t offset = 0;
  size_t stride = 1;
  for (UINT k = 0; k < array->cDims; ++k) {
    const SAFEARRAYBOUND& b = bound_of(array, k + 1);
    int64_t relative = static_cast<int64_t>(indices[k]) - b.lLbound;
    if (relative < 0 || relative >= static_cast<int64_t>(b.cElements)) return false;
    offset += static_cast<size_t>(relative) * stride;
    stride *= b.cElements;
  }
  *out = offset;
  return true;
}

void* element_at(SAFEARRAY* array, size_t index) {
  return static_cast<char*>(array->pvData) + index * array->cbElements;
}

// Frees what the elements [first, last) own and zeroes them.
void release_elements(SAFEARRAY* array, size_t first, size_t last) {
  if (!array->pvData) return;
  for (size_t i = first; i < last; ++i) {
    void* element = element_at(array, i);
    if (array->fFeatures & FADF_BSTR) {
      SysFreeString(*static_cast<BSTR*>(element));
    } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
      if (IUnknown* object = *static_cast<IUnknown**>(element)) object->Release();
    } else if (array->fFeatures & FADF_VARIANT) {
      VariantClear(static_cast<VARIANT*>(element));
    }
  }
  std::memset(element_at(array, first), 0, (last - first) * array->cbElements);
}

// Copies one element into zeroed storage `to`, duplicating what it owns.
HRESULT copy_element(SAFEARRAY* array, const void* from, void* to) {
  if (array->fFeatures & FADF_BSTR) {
    BSTR text = *static_cast<const BSTR*>(from);
    BSTR copy = nullptr;
    if (text) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(text), SysStringByteLen(text));
      if (!copy) return E_OUTOFMEMORY;
    }
    *static_cast<BSTR*>(to) = copy;
  } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* object = *static_cast<IUnknown* const*>(from);
    if (object) object->AddRef();
    *static_cast<IUnknown**>(to) = object;
  } else if (array->fFeatures & FADF_VARIANT) {
    VariantInit(static_cast<VARIANT*>(to));
    return VariantCopy(static_cast<VARIANT*>(to), static_cast<const VARIANT*>(from));
  } else {
    std::memcpy(to, from, array->cbElements);
  }
  return S_OK;
}

}  // namespace

ULONG safearray_element_size(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR: return 4;
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8: return 8;
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_INT_PTR:
    case VT_UINT_PTR: return sizeof(void*);
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
  ULONG element_size = safearray_element_size(vt);
  if (dims == 0 || dims > 0xFFFF || !bounds || element_size == 0) return nullptr;
  char* block = static_cast<char*>(std::calloc(1, descriptor_size(dims)));
  if (!block) return nullptr;
  SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(block + descriptor_prefix);
  array->cDims = static_cast<uint16_t>(dims);
  array->fFeatures = FADF_HAVEVARTYPE | ownership_feature(vt);
  array->cbElements = element_size;
  for (UINT i = 0; i < dims; ++i) bound_of(array, i + 1) = bounds[i];
  store_vartype(array, vt);
  size_t count;
  if (!element_count(array, &count) ||
      count > std::numeric_limits<size_t>::max() / element_size) {
    std::free(block);
    return nullptr;
  }
  if (count > 0) {
    array->pvData = std::calloc(count, element_size);
    if (!array->pvData) {
      std::free(block);
      return nullptr;
    }
  }
  return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower_bound, ULONG count) {
  SAFEARRAYBOUND bound{count, lower_bound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (!array) return S_OK;
  if (array->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  release_elements(array, 0, total_elements(array));
  std::free(array->pvData);
  std::free(descriptor_block(array));
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) { return array ? array->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* array) { return array ? array->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* out) {
  if (!array || !out) return E_INVALIDARG;
  if (dim < 1 || dim > array->cDims) return DISP_E_BADINDEX;
  *out = bound_of(array, dim).lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* out) {
  if (!array || !out) return E_INVALIDARG;
  if (dim < 1 || dim > array->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = bound_of(array, dim);
  // An empty dimension has its upper bound one below the lower one.
  *out = static_cast<LONG>(static_cast<int64_t>(b.lLbound) + b.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* out) {
  if (!array || !out) return E_INVALIDARG;
  if (array->fFeatures & FADF_HAVEVARTYPE) {
    uint32_t value;
    std::memcpy(&value, descriptor_block(array) + descriptor_prefix - 4, 4);
    *out = static_cast<VARTYPE>(value);
  } else if (array->fFeatures & FADF_BSTR) {
    *out = VT_BSTR;
  } else if (array->fFeatures & FADF_UNKNOWN) {
    *out = VT_UNKNOWN;
  } else if (array->fFeatures & FADF_DISPATCH) {
    *out = VT_DISPATCH;
  } else if (array->fFeatures & FADF_VARIANT) {
    *out = VT_VARIANT;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, const LONG* indices, void** out) {
  if (!array || !indices || !out) return E_INVALIDARG;
  size_t offset;
  if (!element_offset(array, indices, &offset)) return DISP_E_BADINDEX;
  *out = element_at(array, offset);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks >= max_locks) return E_UNEXPECTED;
  ++array->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* array) {
  if (!array) return E_INVALIDARG;
  if (array->cLocks == 0) return E_UNEXPECTED;
  --array->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (!array || !data) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(array);
  if (FAILED(hr)) return hr;
  *data = array->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) { return SafeArrayUnlock(array); }

HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* out) {
  if (!array || !indices || !out) return E_INVALIDARG;
  void* element;
  HRESULT hr = SafeArrayPtrOfIndex(array, indices, &element);
  if (FAILED(hr)) return hr;
  SafeArrayLock(array);
  if (array->fFeatures & FADF_VARIANT) VariantInit(static_cast<VARIANT*>(out));
  hr = copy_element(array, element, out);
  SafeArrayUnlock(array);
  return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, void* value) {
  if (!array || !indices) return E_INVALIDARG;
  void* element;
  HRESULT hr = SafeArrayPtrOfIndex(array, indices, &element);
  if (FAILED(hr)) return hr;
  if (!value && !(array->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)))
    return E_INVALIDARG;
  SafeArrayLock(array);
  if (array->fFeatures & FADF_BSTR) {
    BSTR text = static_cast<BSTR>(value);
    BSTR copy = nullptr;
    if (text) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(text), SysStringByteLen(text));
      if (!copy) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
      SysFreeString(*static_cast<BSTR*>(element));
      *static_cast<BSTR*>(element) = copy;
    }
  } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* object = static_cast<IUnknown*>(value);
    if (object) object->AddRef();
    IUnknown* old = *static_cast<IUnknown**>(element);
    *static_cast<IUnknown**>(element) = object;
    if (old) old->Release();
  } else if (array->fFeatures & FADF_VARIANT) {
    // VariantCopy clears the old element first.
    hr = VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(value));
  } else {
    std::memcpy(element, value, array->cbElements);
  }
  SafeArrayUnlock(array);
  return hr;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!array) return S_OK;
  size_t count;
  if (!element_count(array, &count)) return E_OUTOFMEMORY;
  char* block = static_cast<char*>(std::malloc(descriptor_size(array->cDims)));
  if (!block) return E_OUTOFMEMORY;
  std::memcpy(block, descriptor_block(array), descriptor_size(array->cDims));
  SAFEARRAY* copy = reinterpret_cast<SAFEARRAY*>(block + descriptor_prefix);
  copy->cLocks = 0;
  copy->pvData = nullptr;
  if (count > 0 && array->pvData) {
    copy->pvData = std::calloc(count, array->cbElements);
    if (!copy->pvData) {
      std::free(block);
      return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < count; ++i) {
      HRESULT hr = copy_element(array, element_at(array, i), element_at(copy, i));
      if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
      }
    }
  }
  *out = copy;
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* array, const SAFEARRAYBOUND* rightmost) {
  if (!array || !rightmost) return E_INVALIDARG;
  if (array->cLocks > 0 || (array->fFeatures & FADF_FIXEDSIZE)) return DISP_E_ARRAYISLOCKED;
  size_t old_count = total_elements(array);
  SAFEARRAYBOUND old_bound = array->rgsabound[0];
  array->rgsabound[0] = *rightmost;
  size_t new_count;
  if (!element_count(array, &new_count) ||
      new_count > std::numeric_limits<size_t>::max() / array->cbElements) {
    array->rgsabound[0] = old_bound;
    return E_OUTOFMEMORY;
  }
  // The rightmost dimension varies slowest, so its elements are the tail of the data.
  if (new_count < old_count) release_elements(array, new_count, old_count);
  if (new_count == 0) {
    std::free(array->pvData);
    array->pvData = nullptr;
    return S_OK;
  }
  void* data = std::realloc(array->pvData, new_count * array->cbElements);
  if (!data) {
    array->rgsabound[0] = old_bound;
    return E_OUTOFMEMORY;
  }
  array->pvData = data;
  if (new_count > old_count)
    std::memset(element_at(array, old_count), 0, (new_count - old_count) * array->cbElements);
  return S_OK;
}

}  // namespace quevro::com
