// VARIANT: the tagged value every automation argument and result travels in. The layout is the
// Win32 one for 64-bit processes (24 bytes: the type, three reserved words, a 16-byte union;
// a DECIMAL covers the whole structure, its reserved word lying over the type), so that
// VARIANTs made here and VARIANTs made by foreign code through a pointer are the same thing.
#pragma once

#include <cstddef>

#include "com/bstr.h"
#include "com/com_types.h"

namespace quevro::com {

struct SAFEARRAY;

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using DATE = double;  // days since 1899-12-30; see ole_date.h

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Currency: a 64-bit integer holding the amount times 10000.
struct CY {
  int64_t int64;
};
inline constexpr int64_t currency_scale = 10000;

// A 96-bit integer divided by 10^scale (0..28), negative when sign is 0x80.
struct DECIMAL {
  uint16_t wReserved;
  uint8_t scale;
  uint8_t sign;
  uint32_t Hi32;
  uint64_t Lo64;
};
static_assert(sizeof(DECIMAL) == 16);
inline constexpr uint8_t DECIMAL_NEG = 0x80;

enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xFFFF,
  VT_TYPEMASK = 0x0FFF,
};

struct VARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        int64_t llVal;
        int32_t lVal;
        uint8_t bVal;
        int16_t iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        uint8_t* pbVal;
        int16_t* piVal;
        int32_t* plVal;
        int64_t* pllVal;
        float* pfltVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        DECIMAL* pdecVal;
        void* byref;
        int8_t cVal;
        uint16_t uiVal;
        uint32_t ulVal;
        uint64_t ullVal;
        int32_t intVal;
        uint32_t uintVal;
        int8_t* pcVal;
        uint16_t* puiVal;
        uint32_t* pulVal;
        uint64_t* pullVal;
        int32_t* pintVal;
        uint32_t* puintVal;
        struct {
          void* pvRecord;
          void* pRecInfo;
        } record;
      };
    };
    DECIMAL decVal;
  };
};
static_assert(sizeof(VARIANT) == 24);
static_assert(offsetof(VARIANT, lVal) == 8);

using VARIANTARG = VARIANT;

// Flags of VariantChangeType.
inline constexpr uint16_t VARIANT_NOVALUEPROP = 0x01;  // do not read an object's default value
inline constexpr uint16_t VARIANT_ALPHABOOL = 0x02;    // booleans to "True" / "False"
inline constexpr uint16_t VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr uint16_t VARIANT_LOCALBOOL = 0x10;

inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

// True for the types a VARIANT may hold (with VT_BYREF and VT_ARRAY where they apply).
bool is_variant_type(VARTYPE vt);

void VariantInit(VARIANT* v);
// Frees what the VARIANT owns (a BSTR, an interface reference, an array) and leaves it VT_EMPTY.
// By-reference values own nothing. DISP_E_BADVARTYPE for a type a VARIANT cannot hold,
// DISP_E_ARRAYISLOCKED for a locked array (both leave the VARIANT as it was).
HRESULT VariantClear(VARIANT* v);
// Clears dest, then makes it an independent copy of src: strings and arrays are duplicated,
// interfaces gain a reference, by-reference values copy the pointer.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// As VariantCopy, but a by-reference value is replaced by a copy of what it points to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// Converts src to type vt into dest (dest may be src). DISP_E_TYPEMISMATCH when there is no
// such conversion, DISP_E_OVERFLOW when the value does not fit; dest is unchanged on failure.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt);
// The same; texts are always read and written in the English forms, whatever the locale.
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID locale, uint16_t flags,
                            VARTYPE vt);

}  // namespace quevro::com
