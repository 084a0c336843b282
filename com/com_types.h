// The portable automation core's basic types: the Win32 integer types it is written in, GUIDs,
// HRESULT codes with their Win32 values, and the IUnknown / IDispatch / IEnumVARIANT interfaces.
// Objects made by scripts, by the application and by the class registry all meet through these
// declarations, so their shapes follow Win32 exactly: the same method order in each virtual
// table, the same numeric codes, the same 32-bit LONG and ULONG (Linux `long` is 64 bits, so the
// Win32 names are spelled out with fixed-width types here).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quevro::com {

using HRESULT = int32_t;
using SCODE = int32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = uint32_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LCID = uint32_t;
using DISPID = int32_t;
using MEMBERID = int32_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

// ---- GUIDs ------------------------------------------------------------------------------------

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
bool operator<(const GUID& a, const GUID& b);

// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hexadecimal digits).
std::string guid_to_string(const GUID& guid);
std::u16string guid_to_wide_string(const GUID& guid);
// Reads the registry form: exactly 38 characters, braces required, hexadecimal digits in either
// case. False (and *out unchanged) for anything else.
bool guid_from_string(std::string_view text, GUID* out);
bool guid_from_wide_string(std::u16string_view text, GUID* out);

inline constexpr GUID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_IEnumVARIANT = {0x00020404, 0x0000, 0x0000,
                                          {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// The object interface of the .NET runtime's automation objects; they are driven as IDispatch.
inline constexpr GUID IID_NetObject = {0x65074F7F, 0x63C0, 0x304E,
                                       {0xAF, 0x0A, 0xD5, 0x17, 0x41, 0xCB, 0x4A, 0x8D}};
inline constexpr GUID IID_IClassFactory = {0x00000001, 0x0000, 0x0000,
                                           {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---- HRESULT codes ----------------------------------------------------------------------------

inline constexpr HRESULT hresult(uint32_t bits) { return static_cast<HRESULT>(bits); }
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
// A Win32 error code (ERROR_*) as the HRESULT of facility 7.
inline constexpr HRESULT hresult_from_win32(uint32_t error) {
  return error == 0 ? 0 : hresult((error & 0xFFFFu) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = hresult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = hresult(0x80004002u);
inline constexpr HRESULT E_POINTER = hresult(0x80004003u);
inline constexpr HRESULT E_ABORT = hresult(0x80004004u);
inline constexpr HRESULT E_FAIL = hresult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = hresult(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = hresult(0x80070005u);
inline constexpr HRESULT E_HANDLE = hresult(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = hresult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = hresult(0x80070057u);

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = hresult(0x80020001u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = hresult(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = hresult(0x80020004u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = hresult(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = hresult(0x80020006u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = hresult(0x80020007u);
inline constexpr HRESULT DISP_E_BADVARTYPE = hresult(0x80020008u);
inline constexpr HRESULT DISP_E_EXCEPTION = hresult(0x80020009u);
inline constexpr HRESULT DISP_E_OVERFLOW = hresult(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = hresult(0x8002000Bu);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = hresult(0x8002000Cu);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = hresult(0x8002000Du);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = hresult(0x8002000Eu);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = hresult(0x8002000Fu);
inline constexpr HRESULT DISP_E_BADCALLEE = hresult(0x80020010u);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = hresult(0x80020011u);
inline constexpr HRESULT DISP_E_DIVBYZERO = hresult(0x80020012u);

inline constexpr HRESULT RPC_E_CALL_REJECTED = hresult(0x80010001u);
inline constexpr HRESULT RPC_E_SERVERFAULT = hresult(0x80010105u);
inline constexpr HRESULT RPC_E_SERVERCALL_RETRYLATER = hresult(0x8001010Au);
inline constexpr HRESULT RPC_E_DISCONNECTED = hresult(0x80010108u);
inline constexpr HRESULT RPC_E_WRONG_THREAD = hresult(0x8001010Eu);
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = hresult(0x80080005u);
inline constexpr HRESULT TYPE_E_CANTLOADLIBRARY = hresult(0x80029C4Au);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = hresult(0x8002801Du);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = hresult(0x8002802Bu);
inline constexpr HRESULT TYPE_E_OUTOFBOUNDS = hresult(0x80028CA1u);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = hresult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hresult(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = hresult(0x80040154u);
inline constexpr HRESULT CO_E_NOTINITIALIZED = hresult(0x800401F0u);
inline constexpr HRESULT CO_E_CLASSSTRING = hresult(0x800401F3u);

// The system message for a code, in English, without the trailing line break; empty when the
// system has none.
std::string_view hresult_message(HRESULT hr);

// ---- Interfaces -------------------------------------------------------------------------------
// Pure virtual classes whose virtual tables have the Win32 method order. On x86-64 there is one
// calling convention, so nothing marks the methods. The destructors are protected and not
// virtual: a virtual destructor would add slots to the table, and objects are only ever freed by
// their own Release.

struct VARIANT;
struct DISPPARAMS;
struct EXCEPINFO;
struct ITypeInfo;

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, UINT* argument_error) = 0;

 protected:
  ~IDispatch() = default;
};

struct IEnumVARIANT : IUnknown {
  virtual HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumVARIANT** copy) = 0;

 protected:
  ~IEnumVARIANT() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(int lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// ---- References -------------------------------------------------------------------------------

// Holds one reference to an interface: released when the holder goes, added when it is copied.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  // Takes over a reference the caller already owns (a creation or QueryInterface result).
  static ComRef adopt(T* p) {
    ComRef r;
    r.p_ = p;
    return r;
  }
  // Adds a reference of its own.
  static ComRef share(T* p) {
    if (p) p->AddRef();
    return adopt(p);
  }
  ComRef(const ComRef& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  ComRef(ComRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  ComRef& operator=(ComRef other) noexcept {
    T* old = p_;
    p_ = other.p_;
    other.p_ = old;
    return *this;
  }
  ~ComRef() { reset(); }

  void reset() {
    if (T* old = p_) {
      p_ = nullptr;
      old->Release();
    }
  }
  // Gives the reference to the caller; the holder is empty afterwards.
  T* detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  // For an out parameter: drops the current reference and lets the callee store a new one.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace quevro::com
