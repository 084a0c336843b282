// SAFEARRAY: the automation array, with the Win32 64-bit layout. The bounds in rgsabound are
// stored last dimension first (rgsabound[0] is the rightmost dimension), as Win32 stores them;
// the functions take dimensions numbered from 1 (the leftmost) and index vectors whose element
// k belongs to dimension k + 1. Elements lie with the first index varying fastest.
//
// The element type is kept in the four bytes before the descriptor (FADF_HAVEVARTYPE), and
// arrays of strings, interfaces and VARIANTs own their elements: destroying or copying such an
// array frees or duplicates them.
#pragma once

#include "com/variant.h"

namespace quevro::com {

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  uint16_t cDims;
  uint16_t fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};
static_assert(sizeof(SAFEARRAY) == 32);

inline constexpr uint16_t FADF_AUTO = 0x0001;
inline constexpr uint16_t FADF_STATIC = 0x0002;
inline constexpr uint16_t FADF_EMBEDDED = 0x0004;
inline constexpr uint16_t FADF_FIXEDSIZE = 0x0010;
inline constexpr uint16_t FADF_RECORD = 0x0020;
inline constexpr uint16_t FADF_HAVEIID = 0x0040;
inline constexpr uint16_t FADF_HAVEVARTYPE = 0x0080;
inline constexpr uint16_t FADF_BSTR = 0x0100;
inline constexpr uint16_t FADF_UNKNOWN = 0x0200;
inline constexpr uint16_t FADF_DISPATCH = 0x0400;
inline constexpr uint16_t FADF_VARIANT = 0x0800;

// The size of one element of type vt in an array; 0 for a type arrays cannot hold.
ULONG safearray_element_size(VARTYPE vt);

// A zero-filled array; bounds[0] is the leftmost dimension. Null for dims 0, a type arrays
// cannot hold, or a size beyond memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lower_bound, ULONG count);
// Frees the array and the elements it owns; DISP_E_ARRAYISLOCKED while it is locked.
HRESULT SafeArrayDestroy(SAFEARRAY* array);
UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
// Bounds of dimension dim (1 = leftmost); DISP_E_BADINDEX for a dimension it does not have.
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* out);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* out);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* out);
// Copies an element out: a BSTR array gives a new BSTR (into a BSTR*), a VARIANT array a copy
// (into a VARIANT*, overwritten without clearing), an interface array an added reference.
// DISP_E_BADINDEX for an index outside the bounds.
HRESULT SafeArrayGetElement(SAFEARRAY* array, const LONG* indices, void* out);
// Stores a copy of an element, releasing the old one. As in Win32, `value` is the BSTR itself
// for a BSTR array and the interface pointer itself for an interface array; for every other
// type it points to the value.
HRESULT SafeArrayPutElement(SAFEARRAY* array, const LONG* indices, void* value);
// The address of an element (no copy, no lock).
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* array, const LONG* indices, void** out);
HRESULT SafeArrayLock(SAFEARRAY* array);
// E_UNEXPECTED when the array is not locked.
HRESULT SafeArrayUnlock(SAFEARRAY* array);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
// A deep copy (null gives null).
HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** out);
// Changes the bounds of the rightmost dimension, keeping the elements that stay and
// zero-filling new ones. DISP_E_ARRAYISLOCKED while locked.
HRESULT SafeArrayRedim(SAFEARRAY* array, const SAFEARRAYBOUND* rightmost);

}  // namespace quevro::com
