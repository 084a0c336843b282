// Type information: the project's own subset of ITypeInfo and ITypeLib, as far as the bridge
// uses it — which members an interface has, whether each is a method or a property, the types
// and directions of their parameters, and which interfaces a class implements or fires events
// through. The structures keep the Win32 names of the fields they have but hold only those, so
// they are not layout-compatible with Windows type libraries; nothing here is ever read from or
// written to a Windows file.
#pragma once

#include "com/dispatch_params.h"

namespace quevro::com {

enum TYPEKIND : int32_t {
  TKIND_ENUM = 0,
  TKIND_RECORD = 1,
  TKIND_MODULE = 2,
  TKIND_INTERFACE = 3,
  TKIND_DISPATCH = 4,
  TKIND_COCLASS = 5,
  TKIND_ALIAS = 6,
  TKIND_UNION = 7,
};

enum INVOKEKIND : int32_t {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8,
};

inline constexpr WORD PARAMFLAG_NONE = 0x0;
inline constexpr WORD PARAMFLAG_FIN = 0x1;
inline constexpr WORD PARAMFLAG_FOUT = 0x2;
inline constexpr WORD PARAMFLAG_FRETVAL = 0x8;
inline constexpr WORD PARAMFLAG_FOPT = 0x10;

inline constexpr int32_t IMPLTYPEFLAG_FDEFAULT = 0x1;
inline constexpr int32_t IMPLTYPEFLAG_FSOURCE = 0x2;

using HREFTYPE = DWORD;
inline constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

// A parameter's or result's type (VT_BYREF and VT_ARRAY as flags) and its direction flags.
struct ELEMDESC {
  VARTYPE vt;
  WORD wParamFlags;
};

struct FUNCDESC {
  MEMBERID memid;
  INVOKEKIND invkind;
  int16_t cParams;
  int16_t cParamsOpt;
  ELEMDESC* lprgelemdescParam;
  ELEMDESC elemdescFunc;
};

struct TYPEATTR {
  GUID guid;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cImplTypes;
};

struct ITypeLib;

struct ITypeInfo : IUnknown {
  virtual HRESULT GetTypeAttr(TYPEATTR** attributes) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* attributes) = 0;
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** description) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* description) = 0;
  // The member's name, then its parameters' names.
  virtual HRESULT GetNames(MEMBERID id, BSTR* names, UINT max_names, UINT* count) = 0;
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* type) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, int32_t* flags) = 0;
  // Names compare without regard to case; the first is a member, the others its parameters.
  virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) = 0;
  // MEMBERID_NIL documents the type itself. Any out pointer may be null.
  virtual HRESULT GetDocumentation(MEMBERID id, BSTR* name, BSTR* text, DWORD* help_context,
                                   BSTR* help_file) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE type, ITypeInfo** info) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** library, UINT* index) = 0;

 protected:
  ~ITypeInfo() = default;
};

struct ITypeLib : IUnknown {
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** info) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) = 0;
  virtual HRESULT GetTypeInfoOfGuid(const GUID& guid, ITypeInfo** info) = 0;
  // Index -1 documents the library itself.
  virtual HRESULT GetDocumentation(int32_t index, BSTR* name, BSTR* text, DWORD* help_context,
                                   BSTR* help_file) = 0;

 protected:
  ~ITypeLib() = default;
};

// Class information: what a created object says about the class it belongs to.
struct IProvideClassInfo : IUnknown {
  virtual HRESULT GetClassInfo(ITypeInfo** info) = 0;

 protected:
  ~IProvideClassInfo() = default;
};

inline constexpr IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IProvideClassInfo = {0xB196B283, 0xBAB4, 0x101A,
                                              {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

// The description of a member whose name is `name` (compared without case) and whose kind
// allows `kind`; null when the type has none. Released with ReleaseFuncDesc.
FUNCDESC* find_member(ITypeInfo* info, const char16_t* name, INVOKEKIND kind);
// The description of the member `id` that allows `kind`; null when there is none.
FUNCDESC* find_member(ITypeInfo* info, MEMBERID id, INVOKEKIND kind);

}  // namespace quevro::com
