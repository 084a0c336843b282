#include "com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "vm/utf.h"

namespace quevro::com {

namespace {

constexpr size_t prefix_size = sizeof(uint32_t);
// Room for the zero unit after the text plus one byte, so that an odd byte length still ends
// in a whole zero unit.
constexpr size_t terminator_size = sizeof(OLECHAR) + 1;

char* allocation_of(BSTR text) { return reinterpret_cast<char*>(text) - prefix_size; }

// A string of `bytes` bytes with its prefix and zero terminator; contents left to the caller.
BSTR allocate_bytes(size_t bytes) {
  if (bytes > std::numeric_limits<uint32_t>::max() - prefix_size - terminator_size) return nullptr;
  char* block = static_cast<char*>(std::malloc(prefix_size + bytes + terminator_size));
  if (!block) return nullptr;
  uint32_t length = static_cast<uint32_t>(bytes);
  std::memcpy(block, &length, prefix_size);
  std::memset(block + prefix_size + bytes, 0, terminator_size);
  return reinterpret_cast<BSTR>(block + prefix_size);
}

size_t terminated_length(const OLECHAR* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

}  // namespace

BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
  BSTR result = allocate_bytes(length);
  if (!result) return nullptr;
  char* data = reinterpret_cast<char*>(result);
  if (bytes)
    std::memcpy(data, bytes, length);
  else
    std::memset(data, 0, length);
  return result;
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > std::numeric_limits<uint32_t>::max() / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringByteLen(reinterpret_cast<const char*>(text), length * sizeof(OLECHAR));
}

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  size_t length = terminated_length(text);
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

int SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
  if (!target) return 0;
  // Copy before freeing: the new text may be (part of) the old string.
  BSTR copy = SysAllocStringLen(text, length);
  if (!copy) return 0;
  SysFreeString(*target);
  *target = copy;
  return 1;
}

int SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (!target) return 0;
  if (!text) {
    SysFreeString(*target);
    *target = nullptr;
    return 1;
  }
  size_t length = terminated_length(text);
  if (length > std::numeric_limits<UINT>::max()) return 0;
  return SysReAllocStringLen(target, text, static_cast<UINT>(length));
}

void SysFreeString(BSTR text) {
  if (text) std::free(allocation_of(text));
}

UINT SysStringByteLen(BSTR text) {
  if (!text) return 0;
  uint32_t length;
  std::memcpy(&length, allocation_of(text), prefix_size);
  return length;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

std::u16string_view bstr_view(BSTR text) {
  if (!text) return {};
  return std::u16string_view(text, SysStringLen(text));
}

BSTR bstr_from_utf8(std::string_view text) {
  std::u16string wide;
  utf8_to_utf16(text.data(), text.size(), &wide);
  if (wide.size() > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string utf8_from_bstr(BSTR text) { return utf8_from_wide(bstr_view(text)); }

std::string utf8_from_wide(std::u16string_view text) {
  std::string out;
  utf16_to_utf8(text.data(), text.size(), &out);
  return out;
}

}  // namespace quevro::com
