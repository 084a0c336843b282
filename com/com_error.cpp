#include "com/com_error.h"

#include <cinttypes>
#include <cstdio>

namespace quevro::com {
namespace {

// Codes that scripts meet often are shown with their names, the rest by number only.
const char* code_name(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80020003u: return "DISP_E_MEMBERNOTFOUND";
    case 0x80020004u: return "DISP_E_PARAMNOTFOUND";
    case 0x80020005u: return "DISP_E_TYPEMISMATCH";
    case 0x8002000Eu: return "DISP_E_BADPARAMCOUNT";
    case 0x8002000Fu: return "DISP_E_PARAMNOTOPTIONAL";
    case 0x80020011u: return "DISP_E_NOTACOLLECTION";
    case 0x80070057u: return "E_INVALIDARG";
    default: return nullptr;
  }
}

}  // namespace

std::string hresult_text(HRESULT hr) {
  std::string_view message = hresult_message(hr);
  if (message.empty()) return std::string();
  char code[64];
  const char* name = code_name(hr);
  unsigned bits = static_cast<uint32_t>(hr);
  if (name)
    std::snprintf(code, sizeof code, "(%s,0x%08X)", name, bits);
  else
    std::snprintf(code, sizeof code, "(0x%08X)", bits);
  return std::string(message) + code;
}

std::string com_error_text(HRESULT hr) { return "COM error\n" + hresult_text(hr); }

}  // namespace quevro::com
