// The structures of an IDispatch::Invoke call: the argument list, the exception record, the
// invoke kinds and the reserved dispatch identifiers.
#pragma once

#include "com/variant.h"

namespace quevro::com {

// Arguments in reverse order (the last argument first); the named ones (property puts name
// theirs DISPID_PROPERTYPUT) come first, their identifiers in rgdispidNamedArgs.
struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

// What a failed call with DISP_E_EXCEPTION reports. A server may leave the texts empty and
// set pfnDeferredFillIn instead; the caller then calls it to fill them in (fill_in_exception).
struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO* info);
  SCODE scode;
};

inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_NEWENUM = -4;
inline constexpr DISPID DISPID_EVALUATE = -5;
inline constexpr DISPID DISPID_CONSTRUCTOR = -6;
inline constexpr DISPID DISPID_DESTRUCTOR = -7;
inline constexpr DISPID DISPID_COLLECT = -8;

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

// An empty record: no texts, no codes, no callback.
inline EXCEPINFO empty_exception() { return EXCEPINFO{0, 0, nullptr, nullptr, nullptr, 0,
                                                      nullptr, nullptr, 0}; }

// Runs the deferred fill-in callback once, if the server left one.
inline void fill_in_exception(EXCEPINFO* info) {
  if (info->pfnDeferredFillIn) {
    HRESULT (*fill)(EXCEPINFO*) = info->pfnDeferredFillIn;
    info->pfnDeferredFillIn = nullptr;
    fill(info);
  }
}

// Frees the record's strings and empties it.
inline void clear_exception(EXCEPINFO* info) {
  SysFreeString(info->bstrSource);
  SysFreeString(info->bstrDescription);
  SysFreeString(info->bstrHelpFile);
  *info = empty_exception();
}

}  // namespace quevro::com
