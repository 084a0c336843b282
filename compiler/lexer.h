// Source bytes to tokens. One lexer per compilation; it lives on the compiler's C++ stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vm/reserved_words.h"
#include "vm/state.h"

namespace quevro {

struct FuncState;

// Token codes above the single-character range.
enum TokenCode : int {
#define QUEVRO_WORD_TOKEN(word, text) TK_##word = word_token(WORD_##word),
  QUEVRO_RESERVED_WORDS(QUEVRO_WORD_TOKEN)
#undef QUEVRO_WORD_TOKEN
  TK_POW = FIRST_RESERVED + RESERVED_WORD_COUNT, TK_CONCAT, TK_DOTS2, TK_DOTS3, TK_EQ, TK_GE, TK_LE,
  TK_NE, TK_EQS, TK_NES, TK_SHL, TK_SAR, TK_SHR, TK_CONSTANT, TK_READONLY, TK_NUMBER, TK_NAME,
  TK_PRINT, TK_STRING, TK_EOS,
};

struct Token {
  int code = TK_EOS;
  double number = 0;
  StringObject* str = nullptr;  // names, strings, constants; the text of a <print> (or null)
  int line = 1;                 // line where the token starts
  int end_line = 1;             // line where it ends (multi-line strings, comments)
  std::string text;             // the token's own text, for messages
};

// The display text of a token code ("break", "==", "<eof>", "%c", "char(%d)").
std::string token_display(int code);

// The source label used in messages (at most 80 bytes).
std::string chunk_id(const char* source, size_t len);

class Lexer {
 public:
  Lexer(VmState* L, const char* text, size_t len, StringObject* source, bool skip_bom = true);

  VmState* L;
  FuncState* fs = nullptr;  // null while the lexer only unescapes text
  StringObject* source;
  std::string source_label;
  int line = 1;
  int last_line = 1;
  Token t;          // current token
  Token ahead;      // lookahead; code TK_EOS means none pending
  bool has_ahead = false;
  int prev_token = 0;  // code of the most recently scanned token; 0 at the chunk's start
  int last_consumed = 0;  // code of the token the parser consumed last
  char decimal_point = '.';

  void next();
  int lookahead();
  // Lookahead that also skips blanks after the lookahead token and returns the raw character
  // that follows (-1 at the end of the input).
  int lookahead_char();
  // The raw character right after the current token (no lookahead may be pending).
  int raw_current() const { return current_; }
  // Reads a dotted module name directly from the characters after `import`/`namespace` and
  // makes it the current token (<string>).
  void read_module_name();

  [[noreturn]] void error(const std::string& message, int token);
  [[noreturn]] void error_near_text(const std::string& message, const std::string& near, bool with_near = true);
  [[noreturn]] void syntax_error(const std::string& message) { error(message, t.code); }
  std::string token_text(const Token& tok) const;

  // Interns a string made by the lexer, sets its encoding flags and anchors it in the current
  // function's constant lookup table so a collection during compilation cannot free it.
  StringObject* new_string(const char* bytes, size_t len, uint8_t flags, bool wide = false);

  // Reads the body of an escaped (single-quoted) string after its opening quote. In unescape
  // mode (stop_at_end) the text runs to the end of the input and no quote ends it.
  bool read_escaped(std::string& out, bool& byte_escapes, bool stop_at_end);

  // Set when an error was recorded instead of raised (no function state).
  bool failed = false;
  std::string failure;

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  int current_;
  std::string buf_;
  bool at_start_ = true;

  void advance() { current_ = p_ < end_ ? *p_++ : -1; }
  // The longer of two operators: when the next character is `next`, takes it and gives `longer`.
  int longer_if(int next, int longer, int shorter) {
    if (current_ != next) return shorter;
    advance();
    return longer;
  }
  void save(int c);
  void save_and_advance() {
    save(current_);
    advance();
  }
  bool is_line_end() const { return current_ == '\n' || current_ == '\r'; }
  void increment_line();
  void skip_blanks_and_lines();
  void scan(Token& tok);
  int scan_token(Token& tok);
  int read_name(Token& tok);
  int read_underscore_name(Token& tok);
  int read_reserved_constant(Token& tok);
  int read_dollar(Token& tok);
  int read_include(Token& tok);
  int read_counted_literal(Token& tok);
  void read_numeral(Token& tok);
  bool convert_numeral(const std::string& text, double* out) const;
  void read_raw_string(int delimiter, std::string& out);
  int read_escaped_string(Token& tok);
  void skip_block_comment(bool as_string, Token& tok);
  void read_line_comment_string(Token& tok);
  int read_template_text(Token& tok);
  [[noreturn]] void lex_error(const std::string& message, int token);
};

// Resolves the escapes of a single-quoted string literal in text (no quotes around it) without
// raising: on success pushes the resulting string and returns true; on a malformed escape pushes
// the lexer's error message and returns false.
bool unescape_text(VmState* L, const char* text, size_t len);

// How a "$" include path becomes a file system path. The runtime installs the application's path
// rules ('~' is the application directory, a single leading '/' is application-relative unless it
// names an existing absolute location); until then the path is used as written.
using IncludePathResolver = std::string (*)(const std::string& path);
void set_include_path_resolver(IncludePathResolver resolve);
std::string resolve_include_path(const std::string& path);

}  // namespace quevro
