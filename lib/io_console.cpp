#include "lib/io_console.h"

#include <unistd.h>

#include <string>

#include "lib/io_file.h"
#include "lib/library_support.h"
#include "vm/encoding.h"
#include "vm/utf.h"

namespace quevro {

namespace {

constexpr int DEFAULT_TEXT_UNITS = 500;

// Appends the continuation bytes of a character whose lead byte is already in out.
void append_continuation(std::FILE* in, unsigned char lead, std::string* out) {
  for (size_t k = 1; k < utf8_sequence_length(lead); ++k) {
    int c = std::getc(in);
    if (c == EOF) return;
    if (!is_continuation(static_cast<unsigned char>(c))) {
      std::ungetc(c, in);
      return;
    }
    out->push_back(static_cast<char>(c));
  }
}

}  // namespace

bool console_available() { return isatty(STDIN_FILENO) || isatty(STDOUT_FILENO); }

int io_get_text(VmState* L) {
  std::FILE* in = standard_stream(L, "stdin", "input");
  size_t units = count_argument(opt_number(L, ARG1, DEFAULT_TEXT_UNITS));
  if (units == 0 || !isatty(fileno(in))) return 0;
  std::string text;
  size_t counted = 0;
  while (counted < units) {
    int c = std::getc(in);
    if (c == EOF) break;
    text.push_back(static_cast<char>(c));
    auto lead = static_cast<unsigned char>(c);
    append_continuation(in, lead, &text);
    counted += utf8_sequence_length(lead) == 4 ? 2 : 1;  // characters beyond U+FFFF take two units
    if (c == '\n') break;
  }
  std::clearerr(in);  // an end of input typed at the terminal does not end the next read
  if (text.empty()) return 0;
  if (utf8_valid(text.data(), text.size())) {
    push_lstring(L, text.data(), text.size());
    return 1;
  }
  // Other terminal input is in the locale's charset; scripts get UTF-8.
  std::u16string wide;
  std::string utf8;
  ansi_to_utf16(text.data(), text.size(), &wide);
  utf16_to_utf8(wide.data(), wide.size(), &utf8);
  push_lstring(L, utf8.data(), utf8.size());
  return 1;
}

}  // namespace quevro
