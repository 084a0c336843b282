#include "compiler/lexer.h"

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/code_generator.h"
#include "vm/reserved_words.h"
#include "vm/utf.h"
#include "vm/api.h"
#include "vm/error.h"
#include "vm/string.h"

namespace quevro {

namespace {

// Lines are counted in an int; stop well before it would wrap.
constexpr int MAX_LINES = 2147483645;
// The token buffer never grows past what a 32-bit length can describe.
constexpr size_t MAX_TOKEN_BYTES = 2147483646u;

const char* const MULTI_CHAR_TOKENS[] = {
    "**", "++", "..", "...", "==", ">=", "<=", "!=", "===", "!==", "<<", ">>", ">>>",
    "<constant>", "<read-only field>", "<number>", "<name>", "<print>", "<string>", "<eof>",
};
static_assert(sizeof MULTI_CHAR_TOKENS / sizeof MULTI_CHAR_TOKENS[0] == TK_EOS - TK_POW + 1,
              "one display text per token code from TK_POW to TK_EOS");

bool is_alpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_alnum(int c) { return is_alpha(c) || is_digit(c); }
bool is_hex(int c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hex_value(int c) { return is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool is_quote(int c) { return c == '"' || c == '\'' || c == '`'; }
bool is_name_char(int c) { return is_alnum(c) || c == '_' || c >= 0x80; }

// Parses digits of the given base as a signed 64-bit value; values beyond the range saturate.
bool parse_integer(const char* s, const char* end, int base, int64_t* out, const char** stop) {
  uint64_t acc = 0;
  bool any = false, saturated = false;
  const char* q = s;
  for (; q < end; ++q) {
    int c = static_cast<unsigned char>(*q);
    int d;
    if (is_digit(c)) d = c - '0';
    else if (is_alpha(c)) d = (c | 0x20) - 'a' + 10;
    else break;
    if (d >= base) break;
    any = true;
    if (!saturated) {
      if (acc > (static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
        saturated = true;
        acc = static_cast<uint64_t>(INT64_MAX);
      } else {
        acc = acc * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      }
    }
  }
  *out = static_cast<int64_t>(acc);
  *stop = q;
  return any;
}

}  // namespace

std::string token_display(int code) {
  if (is_word_token(code)) return word_text(code);
  if (code >= TK_POW && code <= TK_EOS) return MULTI_CHAR_TOKENS[code - TK_POW];
  if (code < 0 || code > 255) return "<unknown>";
  char text[16];
  if (code < 32 || code == 127) std::snprintf(text, sizeof text, "char(%d)", code);
  else std::snprintf(text, sizeof text, "%c", code);
  return text;
}

std::string chunk_id(const char* source, size_t len) {
  if (len > 0 && source[0] == '=') {
    return std::string(source + 1, std::min<size_t>(len - 1, 79));
  }
  if (len > 0 && source[0] == '@') {
    const char* name = source + 1;
    size_t n = len - 1;
    if (n <= 72) return std::string(name, n);
    const char* tail = name + n - 72;
    size_t tail_len = 72;
    // Move forward to the first position from which the rest is valid UTF-8, so the label never
    // starts in the middle of a character.
    while (tail_len > 0 && !utf8_valid(tail, tail_len)) {
      ++tail;
      --tail_len;
    }
    return "..." + std::string(tail, tail_len);
  }
  size_t line_len = 0;
  while (line_len < len && source[line_len] != '\r' && source[line_len] != '\n') ++line_len;
  bool cut = line_len < len;
  if (line_len > 63) {
    line_len = 63;
    cut = true;
  }
  if (cut) {
    while (line_len > 0 && !utf8_valid(source, line_len)) --line_len;
  }
  std::string out = "[string \"";
  out.append(source, line_len);
  if (cut) out += "...";
  out += "\"]";
  return out;
}

Lexer::Lexer(VmState* state, const char* text, size_t len, StringObject* src, bool skip_bom)
    : L(state), source(src), p_(reinterpret_cast<const uint8_t*>(text)),
      end_(reinterpret_cast<const uint8_t*>(text) + len) {
  if (source) source_label = chunk_id(source->data(), source->length);
  buf_.reserve(32);
  advance();
  if (skip_bom && current_ == 0xEF && end_ - p_ >= 2 && p_[0] == 0xBB && p_[1] == 0xBF) {
    p_ += 2;
    advance();
  }
}

void Lexer::save(int c) {
  if (buf_.size() >= MAX_TOKEN_BYTES) lex_error("lexical element too long", 0);
  buf_.push_back(static_cast<char>(c));
}

void Lexer::increment_line() {
  int old = current_;
  advance();
  if ((current_ == '\n' || current_ == '\r') && current_ != old) advance();
  if (++line >= MAX_LINES) lex_error("chunk has too many lines", t.code);
}

void Lexer::skip_blanks_and_lines() {
  for (;;) {
    if (is_blank(current_)) advance();
    else if (is_line_end()) increment_line();
    else return;
  }
}

StringObject* Lexer::new_string(const char* bytes, size_t len, uint8_t flags, bool wide) {
  StringObject* s = wide ? intern_bytes(L, bytes, len, true) : intern_string(L, bytes, len);
  s->flags = static_cast<uint8_t>(flags | (wide ? STR_WIDE : 0));
  if (fs) anchor_string(fs, s);
  return s;
}

std::string Lexer::token_text(const Token& tok) const {
  auto value = [&]() { return tok.str ? std::string(tok.str->data(), tok.str->length) : tok.text; };
  switch (tok.code) {
    case TK_NAME:
    case TK_STRING: return value();
    case TK_NUMBER: return tok.text;
    case TK_CONSTANT: return value() + "<constant>";
    default: return token_display(tok.code);
  }
}

void Lexer::error_near_text(const std::string& message, const std::string& near, bool with_near) {
  std::string text = format_message("\n{Line}:#%d\n{File}:%s\n{Error}:%s%s", line, source_label.c_str(), "",
                                    message.c_str());
  if (with_near) text = format_message("\n{Error}:%s\n{Near}:'%s'", text.c_str(), near.c_str());
  ensure_stack(L, 1);
  push_lstring(L, text.data(), text.size());
  throw_status(L, STATUS_SYNTAX);
}

void Lexer::error(const std::string& message, int token) {
  if (token == 0) error_near_text(message, "", false);
  Token tok = t;
  tok.code = token;
  error_near_text(message, token_text(tok));
}

// Errors found while a token is being scanned name the text collected so far.
void Lexer::lex_error(const std::string& message, int token) {
  if (token == TK_NAME || token == TK_STRING || token == TK_NUMBER) error_near_text(message, buf_);
  if (token == TK_CONSTANT) error_near_text(message, buf_ + "<constant>");
  error(message, token);
}

void Lexer::next() {
  last_line = t.end_line;
  last_consumed = t.code;
  if (has_ahead) {
    t = std::move(ahead);
    has_ahead = false;
  } else {
    scan(t);
  }
}

int Lexer::lookahead() {
  if (!has_ahead) {
    scan(ahead);
    has_ahead = true;
  }
  return ahead.code;
}

int Lexer::lookahead_char() {
  lookahead();
  while (current_ == ' ' || current_ == '\t') advance();
  return current_;
}

void Lexer::scan(Token& tok) {
  tok.str = nullptr;
  tok.number = 0;
  int code = scan_token(tok);
  tok.code = code;
  tok.end_line = line;
  // Names and strings show their value in messages; only numerals keep their source text.
  if (code == TK_NUMBER) tok.text = buf_;
  else tok.text.clear();
  prev_token = code;
  at_start_ = false;
}

int Lexer::scan_token(Token& tok) {
  buf_.clear();
  for (;;) {
    tok.line = line;
    int c = current_;
    switch (c) {
      case '\n':
      case '\r': increment_line(); continue;
      case ' ':
      case '\t':
      case '\v':
      case '\f': advance(); continue;
      case -1: return TK_EOS;
      case '/': {
        int n = p_ < end_ ? *p_ : -1;
        if (n == '/' || n == '*') {
          if (prev_token == '=') {
            advance();
            if (current_ == '*') skip_block_comment(true, tok);
            else read_line_comment_string(tok);
            return TK_STRING;
          }
          advance();
          if (current_ == '*') {
            skip_block_comment(false, tok);
          } else {
            while (current_ != -1 && !is_line_end()) advance();
          }
          continue;
        }
        advance();
        return '/';
      }
      case '<': {
        int n = p_ < end_ ? *p_ : -1;
        if (n == '=') {
          advance();
          advance();
          return TK_LE;
        }
        if (n == '<') {
          advance();
          advance();
          return TK_SHL;
        }
        if (at_start_) {
          int n2 = end_ - p_ >= 2 ? p_[1] : -1;
          if (n == '?' && !is_alpha(n2)) {
            // "<?" at the very start enters code directly; "<?=" outputs the next expression.
            advance();
            advance();
            at_start_ = false;
            skip_blanks_and_lines();
            if (current_ == '=') {
              advance();
              return TK_PRINT;
            }
            continue;
          }
          return read_template_text(tok);
        }
        advance();
        return '<';
      }
      case ':': {
        advance();
        if (current_ != ':') return ':';
        advance();
        if ((current_ >= 'A' && current_ <= 'Z') || current_ >= 0x80) return read_reserved_constant(tok);
        buf_ = "::";
        lex_error("The first letter of the reserved constant name must be capitalized!", TK_CONSTANT);
      }
      case '+': {
        advance();
        if (current_ == '+') {
          advance();
          return TK_CONCAT;
        }
        skip_blanks_and_lines();
        if (prev_token == TK_STRING || is_quote(current_)) return TK_CONCAT;
        return '+';
      }
      case '=': {
        advance();
        if (current_ == '=') {
          advance();
          return longer_if('=', TK_EQS, TK_EQ);
        }
        if (prev_token == TK_PRINT) return TK_PRINT;
        return '=';
      }
      case '!': {
        advance();
        if (current_ != '=') return '!';
        advance();
        return longer_if('=', TK_NES, TK_NE);
      }
      case '?': {
        int n = p_ < end_ ? *p_ : -1;
        if (n == '>') {
          advance();
          advance();
          if (current_ == -1) return TK_PRINT;
          return read_template_text(tok);
        }
        if (n == '?') {
          advance();
          advance();
          return ':';
        }
        if (n == ':') {
          int n2 = end_ - p_ >= 2 ? p_[1] : -1;
          advance();
          if (n2 == ':') return '?';
          advance();
          return ':';
        }
        advance();
        return '?';
      }
      case '>': {
        advance();
        if (current_ == '=') {
          advance();
          return TK_GE;
        }
        if (current_ == '>') {
          advance();
          return longer_if('>', TK_SHR, TK_SAR);
        }
        return '>';
      }
      case '&': advance(); return longer_if('&', TK_AND, '&');
      case '|': advance(); return longer_if('|', TK_OR, '|');
      case '*': advance(); return longer_if('*', TK_POW, '*');
      case '"':
      case '`': {
        std::string s;
        read_raw_string(c, s);
        buf_ = s;
        tok.str = new_string(s.data(), s.size(), STR_UTF8);
        return TK_STRING;
      }
      case '\'': return read_escaped_string(tok);
      case '.': {
        advance();
        if (current_ == '.') {
          advance();
          if (current_ == '.') {
            advance();
            return TK_DOTS3;
          }
          if (current_ == ' ') {
            advance();
            if (prev_token == TK_STRING) return TK_CONCAT;
            while (is_blank(current_)) advance();
            if (is_quote(current_)) return TK_CONCAT;
          }
          return TK_DOTS2;
        }
        if (is_digit(current_)) {
          save('.');
          read_numeral(tok);
          return TK_NUMBER;
        }
        return '.';
      }
      case '_': return read_underscore_name(tok);
      case '$': return read_dollar(tok);
      case 0: return read_counted_literal(tok);
      default:
        if (is_digit(c)) {
          read_numeral(tok);
          return TK_NUMBER;
        }
        if (is_alpha(c) || c >= 0x80) return read_name(tok);
        advance();
        return c;
    }
  }
}

int Lexer::read_name(Token& tok) {
  while (is_name_char(current_)) save_and_advance();
  StringObject* s = new_string(buf_.data(), buf_.size(), STR_UTF8);
  tok.str = s;
  if (prev_token == '.') return TK_NAME;
  int r = s->reserved;
  if (r == MARK_CONSTANT_NAME) return TK_CONSTANT;
  if (is_word_mark(r)) return word_token(r);
  return TK_NAME;
}

int Lexer::read_underscore_name(Token& tok) {
  save_and_advance();  // '_'
  while (current_ >= 'A' && current_ <= 'Z') save_and_advance();
  while ((current_ >= 'A' && current_ <= 'Z') || is_digit(current_) || current_ == '_') save_and_advance();
  size_t noted = buf_.size();
  while (is_alnum(current_) || current_ == '_') save_and_advance();
  StringObject* s = new_string(buf_.data(), buf_.size(), 0);
  tok.str = s;
  if (buf_.size() > 1 && buf_.size() == noted) {
    s->reserved = MARK_CONSTANT_NAME;
    return TK_CONSTANT;
  }
  if (buf_.size() > 1) s->reserved = MARK_READONLY_NAME;
  return TK_NAME;
}

int Lexer::read_reserved_constant(Token& tok) {
  while (is_name_char(current_)) save_and_advance();
  StringObject* s = new_string(buf_.data(), buf_.size(), 0);
  tok.str = s;
  if (s->reserved == MARK_CONSTANT_NAME) return TK_CONSTANT;
  if (s->reserved != 0) {
    int r = s->reserved;
    int code = is_word_mark(r) ? word_token(r) : TK_NAME;
    if (code == TK_NAME) error_near_text("\n{Expected}: reserved constant name ", buf_);
    error("\n{Expected}: reserved constant name ", code);
  }
  s->reserved = MARK_CONSTANT_NAME;
  return TK_CONSTANT;
}

int Lexer::read_dollar(Token& tok) {
  advance();
  if (is_name_char(current_)) {
    save('$');
    while (is_name_char(current_)) save_and_advance();
    tok.str = new_string(buf_.data(), buf_.size(), 0);
    return TK_NAME;
  }
  skip_blanks_and_lines();
  if (is_quote(current_)) return read_include(tok);
  buf_ = "$";
  tok.str = new_string("$", 1, 0);
  return TK_NAME;
}

namespace {

std::string path_as_written(const std::string& path) { return path; }
std::atomic<IncludePathResolver> g_include_resolver{path_as_written};

}  // namespace

void set_include_path_resolver(IncludePathResolver resolve) {
  g_include_resolver.store(resolve ? resolve : path_as_written);
}

std::string resolve_include_path(const std::string& path) { return g_include_resolver.load()(path); }

int Lexer::read_include(Token& tok) {
  std::string path;
  read_raw_string(current_, path);
  bool optional = false;
  if (!path.empty() && path[0] == '?') {
    optional = true;
    path.erase(0, 1);
  }
  FILE* f = std::fopen(resolve_include_path(path).c_str(), "rb");
  if (!f && path.size() >= 2 && path[0] == '~') f = std::fopen(resolve_include_path(path.substr(1)).c_str(), "rb");
  if (!f) {
    if (optional) return TK_NULL;
    std::string text = format_message("\n{Line}:#%d\n{File}:%s\n{Error}:%s%s", line, source_label.c_str(),
                                      "Cannot include file:", path.c_str());
    text = format_message("\n{Error}:%s\n{Near}:'%s'", text.c_str(), "$");
    ensure_stack(L, 1);
    push_lstring(L, text.data(), text.size());
    throw_status(L, STATUS_SYNTAX);
  }
  // RAII for the file handle: an error while interning must not leak it.
  struct Closer {
    FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  std::string data;
  char block[1024];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
    if (data.size() + n > MAX_TOKEN_BYTES) lex_error("lexical element too long", 0);
    data.append(block, n);
  }
  buf_ = path;
  tok.str = new_string(data.data(), data.size(), 0);
  return TK_STRING;
}

int Lexer::read_counted_literal(Token& tok) {
  auto end_chunk = [this]() {
    p_ = end_;
    current_ = -1;
    return TK_EOS;
  };
  advance();
  if (current_ == -1) return end_chunk();
  int flags = current_;
  advance();
  if (!is_digit(current_)) return end_chunk();
  read_numeral(tok);
  double n = std::trunc(tok.number);
  if (current_ == -1) return end_chunk();
  int separator = current_;
  advance();
  // current_ holds the first content byte (already taken from the input).
  size_t remaining = static_cast<size_t>(end_ - p_) + (current_ == -1 ? 0 : 1);
  if (!(n >= 0) || n > static_cast<double>(remaining)) return end_chunk();
  size_t count = static_cast<size_t>(n);
  const char* start = reinterpret_cast<const char*>(p_ - (current_ == -1 ? 0 : 1));
  std::string content(start, count);
  p_ = reinterpret_cast<const uint8_t*>(start + count);
  advance();
  buf_ = content;
  tok.number = 0;
  tok.str = new_string(content.data(), content.size(), static_cast<uint8_t>(flags & ~STR_WIDE),
                       (flags & STR_WIDE) != 0);
  return separator == ':' ? TK_NAME : TK_STRING;
}

void Lexer::read_numeral(Token& tok) {
  bool collected = !buf_.empty();
  for (;;) {
    if (is_digit(current_) || current_ == '.') {
      save_and_advance();
      collected = true;
    } else if (current_ == '_' && collected) {
      advance();
      collected = false;
    } else {
      break;
    }
  }
  if (current_ == '#') {
    save_and_advance();
    collected = true;
  } else if (current_ == 'e' || current_ == 'E') {
    save_and_advance();
    if (current_ == '+' || current_ == '-') save_and_advance();
    collected = true;
  }
  for (;;) {
    if (is_alnum(current_)) {
      save_and_advance();
      collected = true;
    } else if (current_ == '_' && collected) {
      advance();
      collected = false;
    } else {
      break;
    }
  }
  double value;
  if (convert_numeral(buf_, &value)) {
    tok.number = value;
    return;
  }
  // Retry with the locale's decimal point, for systems whose reader expects it.
  const struct lconv* lc = std::localeconv();
  char dp = (lc && lc->decimal_point && lc->decimal_point[0]) ? lc->decimal_point[0] : '.';
  char old = decimal_point;
  decimal_point = dp;
  if (dp != old && convert_numeral(buf_, &value)) {
    tok.number = value;
    return;
  }
  decimal_point = '.';
  lex_error("malformed number", TK_NUMBER);
}

bool Lexer::convert_numeral(const std::string& text, double* out) const {
  std::string replaced;
  if (decimal_point != '.') {
    replaced = text;
    for (char& ch : replaced)
      if (ch == '.') ch = decimal_point;
  }
  const std::string& s = decimal_point != '.' ? replaced : text;
  const char* begin = s.c_str();
  const char* end = begin + s.size();
  const char* stop;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    int64_t v;
    if (!parse_integer(begin + 2, end, 16, &v, &stop)) return false;
    *out = static_cast<double>(v);
  } else {
    char* e = nullptr;
    errno = 0;
    double v = std::strtod(begin, &e);
    if (e == begin) return false;
    stop = e;
    if (*stop == '#') {
      double base = std::trunc(v);
      if (!(base >= 2 && base <= 36)) return false;
      int64_t iv;
      if (!parse_integer(stop + 1, end, static_cast<int>(base), &iv, &stop)) return false;
      v = static_cast<double>(iv);
    }
    *out = v;
  }
  while (stop < end && static_cast<unsigned char>(*stop) < 0x80 && (is_blank(*stop) || *stop == '\n' || *stop == '\r'))
    ++stop;
  return stop == end;
}

void Lexer::read_raw_string(int delimiter, std::string& out) {
  advance();
  for (;;) {
    int c = current_;
    if (c == -1) {
      buf_ = out;
      lex_error("unfinished string", TK_EOS);
    }
    if (c == delimiter) {
      advance();
      if (current_ != delimiter) return;
      out.push_back(static_cast<char>(delimiter));
      advance();
    } else if (c == '\n' || c == '\r') {
      out.push_back('\n');
      increment_line();
    } else {
      if (out.size() >= MAX_TOKEN_BYTES) lex_error("lexical element too long", 0);
      out.push_back(static_cast<char>(c));
      advance();
    }
  }
}

namespace {

// Result of reading one \u or \U escape.
struct UnicodeEscape {
  bool ok;
  uint32_t value;
  bool is_unit;  // four digits: a UTF-16 code unit rather than a code point
};

}  // namespace

bool Lexer::read_escaped(std::string& out, bool& byte_escapes, bool stop_at_end) {
  auto fail = [&](const char* message) -> bool {
    if (!fs && stop_at_end) {
      failed = true;
      buf_ = out;
      failure = format_message("\n{Line}:#%d\n{File}:%s\n{Error}:%s%s", line, source_label.c_str(), "", message);
      failure = format_message("\n{Error}:%s\n{Near}:'%s'", failure.c_str(), out.c_str());
      return false;
    }
    buf_ = out;
    lex_error(message, TK_STRING);
  };
  auto read_unicode = [&](bool big) -> UnicodeEscape {
    // current_ is at 'u' or 'U'
    advance();
    uint32_t v = 0;
    int digits = 0;
    int max_digits = big ? 8 : 4;
    while (digits < max_digits && is_hex(current_)) {
      v = v * 16 + static_cast<uint32_t>(hex_value(current_));
      ++digits;
      advance();
    }
    if (digits == 4) return {true, v, true};
    if (big && (digits == 6 || digits == 8) && v <= 0x10FFFF) return {true, v, false};
    return {false, 0, false};
  };
  for (;;) {
    int c = current_;
    if (c == -1) {
      if (stop_at_end) return true;
      buf_ = out;
      lex_error("unfinished string", TK_EOS);
    }
    if (c == '\'' && !stop_at_end) {
      advance();
      return true;
    }
    if (c == '\n' || c == '\r') {
      increment_line();
      continue;
    }
    if (c != '\\') {
      if (out.size() >= MAX_TOKEN_BYTES) lex_error("lexical element too long", 0);
      out.push_back(static_cast<char>(c));
      advance();
      continue;
    }
    advance();
    c = current_;
    switch (c) {
      case 'a': out.push_back('\a'); break;
      case 'b': out.push_back('\b'); break;
      case 'e': out.push_back('\x1B'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'v': out.push_back('\v'); break;
      case '\n':
      case '\r':
        byte_escapes = true;
        increment_line();
        continue;
      case -1:
        if (stop_at_end) return true;
        buf_ = out;
        lex_error("unfinished string", TK_EOS);
      case 'x': {
        advance();
        int v = 0, digits = 0;
        while (digits < 2 && is_hex(current_)) {
          v = v * 16 + hex_value(current_);
          ++digits;
          advance();
        }
        if (digits == 0) return fail("no hex digits given in hex escape sequence \\x?? ");
        out.push_back(static_cast<char>(v));
        byte_escapes = true;
        continue;
      }
      case 'u':
      case 'U': {
        UnicodeEscape e = read_unicode(c == 'U');
        if (!e.ok) return fail("Illegal \\UFFFFFFFF Unicode escape sequence");
        uint32_t cp = e.value;
        if (e.is_unit && is_high_surrogate(cp)) {
          // A high surrogate needs its low half from the escape that directly follows.
          if (current_ != '\\') return fail("Illegal \\u Unicode escape sequence");
          advance();
          if (current_ != 'u' && current_ != 'U') return fail("Illegal \\u Unicode escape sequence");
          UnicodeEscape low = read_unicode(current_ == 'U');
          if (!low.ok) return fail("Illegal \\UFFFFFFFF Unicode escape sequence");
          if (!is_low_surrogate(low.value)) return fail("Illegal \\u Unicode escape sequence");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low.value - 0xDC00);
        }
        utf8_append(out, cp);
        continue;
      }
      default:
        if (is_digit(c)) {
          int v = 0, digits = 0;
          while (digits < 3 && is_digit(current_)) {
            v = v * 10 + (current_ - '0');
            ++digits;
            advance();
          }
          if (v > 255) return fail("escape sequence too large");
          out.push_back(static_cast<char>(v));
          byte_escapes = true;
          continue;
        }
        out.push_back(static_cast<char>(c));
        byte_escapes = true;
        break;
    }
    if (c != 'a' && c != 'b' && c != 'e' && c != 'f' && c != 'n' && c != 'r' && c != 't' && c != 'v') {
      advance();
      continue;
    }
    byte_escapes = true;
    advance();
  }
}

int Lexer::read_escaped_string(Token& tok) {
  advance();
  std::string s;
  bool byte_escapes = false;
  read_escaped(s, byte_escapes, false);
  buf_ = s;
  if (current_ == '#') {
    advance();
    double v = 0;
    if (s.size() == 1) {
      v = static_cast<unsigned char>(s[0]);
    } else if (s.size() >= 2) {
      Utf8Char c = utf8_decode(s.data(), s.size());
      if (!c.well_formed) v = static_cast<unsigned char>(s[0]);
      else if (c.code > 0xFFFF) v = 0xD800 + ((c.code - 0x10000) >> 10);
      else v = c.code;
    }
    tok.number = v;
    return TK_NUMBER;
  }
  uint8_t flags = byte_escapes ? 0 : STR_UTF8;
  if (current_ == 'u' || current_ == 'U') {
    advance();
    std::u16string wide;
    if (!s.empty() && utf8_to_utf16(s.data(), s.size(), &wide)) {
      tok.str = new_string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2, 0, true);
      return TK_STRING;
    }
  }
  tok.str = new_string(s.data(), s.size(), flags);
  return TK_STRING;
}

void Lexer::skip_block_comment(bool as_string, Token& tok) {
  // current_ is the first '*'
  int stars = 0;
  while (current_ == '*') {
    ++stars;
    advance();
  }
  if (is_line_end()) increment_line();
  std::string text;
  for (;;) {
    int c = current_;
    if (c == -1) lex_error(as_string ? "unfinished long string" : "unfinished long comment", TK_EOS);
    if (c == '*') {
      int run = 0;
      while (current_ == '*') {
        ++run;
        advance();
      }
      if (run >= stars && current_ == '/') {
        advance();
        if (as_string) text.append(static_cast<size_t>(run - stars), '*');
        break;
      }
      if (as_string) text.append(static_cast<size_t>(run), '*');
      continue;
    }
    if (c == '\n' || c == '\r') {
      if (as_string) text += "\r\n";
      increment_line();
      continue;
    }
    if (as_string) {
      if (text.size() >= MAX_TOKEN_BYTES) lex_error("lexical element too long", 0);
      text.push_back(static_cast<char>(c));
    }
    advance();
  }
  if (!as_string) return;
  if (text.size() > 2 && text[text.size() - 2] == '\r' && text.back() == '\n') text.resize(text.size() - 2);
  buf_ = text;
  tok.str = new_string(text.data(), text.size(), STR_UTF8);
}

void Lexer::read_line_comment_string(Token& tok) {
  advance();  // second '/'
  std::string text;
  while (current_ != -1 && !is_line_end()) {
    text.push_back(static_cast<char>(current_));
    advance();
  }
  buf_ = text;
  tok.str = new_string(text.data(), text.size(), STR_UTF8);
}

int Lexer::read_template_text(Token& tok) {
  std::string text;
  for (;;) {
    int c = current_;
    if (c == -1) break;
    if (c == '<' && p_ < end_ && *p_ == '?') {
      int n2 = end_ - p_ >= 2 ? p_[1] : -1;
      if (!is_alpha(n2)) {
        advance();
        advance();
        break;
      }
    }
    if (c == '\n' || c == '\r') {
      text.push_back('\n');
      increment_line();
      continue;
    }
    if (text.size() >= MAX_TOKEN_BYTES) lex_error("lexical element too long", 0);
    text.push_back(static_cast<char>(c));
    advance();
  }
  buf_ = text;
  tok.str = new_string(text.data(), text.size(), STR_UTF8);
  return TK_PRINT;
}

void Lexer::read_module_name() {
  has_ahead = false;
  buf_.clear();
  skip_blanks_and_lines();
  t.line = line;
  while (is_alnum(current_) || current_ == '_' || current_ >= 0x80 || current_ == '.') {
    if (current_ == '.') {
      save_and_advance();
      while (current_ == '.') advance();
    } else {
      save_and_advance();
    }
  }
  if (buf_.empty() || buf_ == "_") error("\n{Expected}:namespace ", TK_IMPORT);
  t.str = new_string(buf_.data(), buf_.size(), 0);
  t.code = TK_STRING;
  t.text = buf_;
  t.end_line = line;
  prev_token = TK_STRING;
}

bool unescape_text(VmState* L, const char* text, size_t len) {
  std::string out;
  // A byte-order mark is content here, not a marker to skip.
  size_t skip = (len >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) ? 3 : 0;
  out.append(text, skip);
  Lexer ls(L, text + skip, len - skip, nullptr, false);
  ls.source_label = "?";
  bool byte_escapes = false;
  if (!ls.read_escaped(out, byte_escapes, true)) {
    ensure_stack(L, 1);
    push_lstring(L, ls.failure.data(), ls.failure.size());
    return false;
  }
  ensure_stack(L, 1);
  push_string_flags(L, out.data(), out.size(), byte_escapes ? 0 : STR_UTF8);
  return true;
}

}  // namespace quevro
