#include "com/type_names.h"

namespace quevro::com {
namespace {

const char* base_type_name(VARTYPE vt) {
  switch (vt) {
    case VT_I2: return "word";
    case VT_I4:
    case VT_INT: return "int";
    case VT_R4: return "float";
    case VT_R8: return "double";
    case VT_CY: return "LONG/*Currency*/";
    case VT_DATE: return "struct/*Date*/";
    case VT_BSTR:
    case VT_LPSTR:
    case VT_LPWSTR: return "string";
    case VT_DISPATCH: return "struct/*IDispatch*/";
    case VT_BOOL: return "bool";
    case VT_VARIANT: return "pointer/*VARIANT*/";
    case VT_UNKNOWN: return "pointer/*IUnknown*/";
    case VT_DECIMAL: return "double/*Decimal*/";
    case VT_I1: return "byte";
    case VT_UI1: return "BYTE";
    case VT_UI2: return "WORD";
    case VT_UI4:
    case VT_UINT: return "INT";
    case VT_I8: return "long";
    case VT_HRESULT: return "INT/*HRESULT*/";
    case VT_SAFEARRAY: return "table/*SAFEARRAY*/";
    default: return "pointer";
  }
}

}  // namespace

std::string declaration_type_name(VARTYPE vt) {
  std::string name = base_type_name(static_cast<VARTYPE>(vt & VT_TYPEMASK));
  if (vt & VT_ARRAY) name += "[]";
  if (vt & VT_BYREF) name += "&";
  return name;
}

}  // namespace quevro::com
