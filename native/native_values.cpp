#include "native/native_values.h"

#include <cstdint>
#include <cstring>

#include "lib/size64.h"
#include "vm/api.h"

namespace quevro {

namespace {

template <class T>
T load(const void* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

}  // namespace

void push_native_value(VmState* L, char code, const void* at) {
  switch (code) {
    case 'b': push_number(L, load<int8_t>(at)); break;
    case 'B': push_number(L, load<uint8_t>(at)); break;
    case 'w': push_number(L, load<int16_t>(at)); break;
    case 'W': push_number(L, load<uint16_t>(at)); break;
    case 'i': push_number(L, load<int32_t>(at)); break;
    case 'I': push_number(L, load<uint32_t>(at)); break;
    case 'l': push_number(L, static_cast<double>(load<int64_t>(at))); break;
    case 'L': push_size64(L, load<uint64_t>(at)); break;
    case 'f': push_number(L, load<float>(at)); break;
    case 'd': push_number(L, load<double>(at)); break;
    case 'y': push_boolean(L, load<int32_t>(at) != 0); break;
    case 'p': case 't': push_pointer(L, load<void*>(at)); break;
    case 's': {
      const char* s = load<const char*>(at);
      if (s) push_string(L, s); else push_null(L);
      break;
    }
    case 'g': push_wide_as_utf8(L, load<const char16_t*>(at)); break;
    default: push_null(L); break;
  }
}

}  // namespace quevro
