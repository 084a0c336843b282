// libFuzzer target: any declaration or callback-prototype text either parses into a signature
// whose codes are all callable types, or is rejected with the text it stopped at. Crashes and
// sanitizer reports are the failures.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "native/declaration.h"
#include "native/type_codes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (bool unicode : {false, true}) {
    quevro::Signature s;
    std::string rest;
    if (quevro::parse_declaration(text, unicode, &s, &rest)) {
      if (s.result != 'v' && !quevro::is_value_code(s.result)) std::abort();
      for (const quevro::Parameter& p : s.parameters)
        if (!quevro::is_value_code(p.code)) std::abort();
      if (s.call_signature().size() != s.parameters.size() + 1) std::abort();
    } else if (rest.size() > size) {
      std::abort();
    }
  }
  std::string convention(text);
  (void)quevro::convention_flags(convention.c_str());
  return 0;
}
