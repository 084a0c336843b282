#include "com/automation_abi.h"

#include <cstdio>
#include <cstring>

#include "com/com_error.h"

namespace quevro::com {
namespace {

UINT error_text(HRESULT hr, char* buffer, UINT capacity) {
  std::string text = hresult_text(hr);
  if (text.empty()) {
    char code[16];
    std::snprintf(code, sizeof code, "(0x%08X)", static_cast<unsigned>(hr));
    text = code;
  }
  if (buffer && capacity > 0) {
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<UINT>(text.size());
}

HRESULT change_type(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt) {
  return VariantChangeType(dest, src, flags, vt);
}

const AutomationAbi abi = {
    sizeof(AutomationAbi), SysAllocStringLen,    SysFreeString,      SysStringLen,
    VariantClear,          VariantCopy,          change_type,        SafeArrayCreateVector,
    SafeArrayGetDim,       SafeArrayGetLBound,   SafeArrayGetUBound, SafeArrayGetVartype,
    SafeArrayPtrOfIndex,   error_text,
};

}  // namespace
}  // namespace quevro::com

extern "C" __attribute__((visibility("default"))) const quevro::com::AutomationAbi* quevro_automation_abi() {
  return &quevro::com::abi;
}
