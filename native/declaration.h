// API declaration strings ("INT(INT flags,pointer source,ustring& buf)") and convention strings,
// parsed into the fixed signature an API function object calls with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quevro {

// Parameter flag bits.
constexpr uint8_t PARAM_BY_REFERENCE = 0x01;
constexpr uint8_t PARAM_NULL_ACCEPTED = 0x02;
constexpr uint8_t PARAM_STRING = 0x04;
constexpr uint8_t PARAM_ANSI_STRING = 0x08;

// Convention flag bits (16 bits; the register-argument bits only mean something to a 32-bit
// caller and are kept as recorded).
constexpr uint16_t CONV_BO = 0x01;
constexpr uint16_t CONV_MS_REGISTERS = 0x02;
constexpr uint16_t CONV_UNICODE = 0x04;
constexpr uint16_t CONV_CDECL = 0x10;
constexpr uint16_t CONV_STDCALL = 0x20;
constexpr uint16_t CONV_REGISTER_COUNT = 0x0C00;
constexpr uint16_t RESULT_FLOAT = 0x100;
constexpr uint16_t RESULT_DOUBLE = 0x200;

// The flags a convention string stands for; null (no string) is stdcall.
uint16_t convention_flags(const char* convention);

struct Parameter {
  char code;      // the plain type code
  uint8_t flags;  // PARAM_* bits
};

struct Signature {
  char result = 'v';
  std::vector<Parameter> parameters;
  // "code + one byte per parameter, '&' for a by-reference one", and the same with plain codes.
  std::string call_signature() const;
  std::string type_string() const;
};

// Parses a declaration. On failure returns false and sets *rest to the text from the rejected
// type on (what the "{Declare api}" message quotes).
bool parse_declaration(std::string_view text, bool unicode, Signature* out, std::string* rest);

}  // namespace quevro
