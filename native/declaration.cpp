#include "native/declaration.h"

#include <cstring>

#include "native/type_codes.h"

namespace quevro {

uint16_t convention_flags(const char* convention) {
  if (convention == nullptr) return CONV_STDCALL;
  uint16_t flags = 0;
  bool bo = std::strstr(convention, ",bo") != nullptr;
  if (bo) flags |= CONV_BO;
  if (std::strstr(convention, ",unicode")) flags |= CONV_UNICODE;
  switch (convention[0]) {
    case 's': flags |= CONV_STDCALL; break;
    case 'c': case 'r': flags |= CONV_CDECL; break;
    case 't': flags |= 0x402; break;
    case 'f': flags |= bo ? 0xC20 : 0x802; break;
    default: break;
  }
  if (std::strstr(convention, "regparm(")) {
    flags &= static_cast<uint16_t>(~0x0C02);
    if (std::strstr(convention, "regparm(3)"))
      flags |= 0xC00;
    else if (std::strstr(convention, "regparm(2)"))
      flags |= 0x800;
    else if (std::strstr(convention, "regparm(1)"))
      flags |= 0x400;
  }
  return flags;
}

std::string Signature::call_signature() const {
  std::string s(1, result);
  for (const Parameter& p : parameters) s.push_back((p.flags & PARAM_BY_REFERENCE) ? '&' : p.code);
  return s;
}

std::string Signature::type_string() const {
  std::string s(1, result);
  for (const Parameter& p : parameters) s.push_back(p.code);
  return s;
}

namespace {

size_t skip_blanks(std::string_view t, size_t i) {
  while (i < t.size() && is_blank(t[i])) ++i;
  return i;
}

bool fail(std::string_view text, size_t at, std::string* rest) {
  *rest = std::string(text.substr(at < text.size() ? at : text.size()));
  return false;
}

bool is_void_word(std::string_view k) { return k.size() > 1 && k[0] == 'v' && k.back() == 'd'; }

// One parameter from text[i]: fills *p (or sets *skip for `void`), sets *next to the ',' or ')'.
bool parse_parameter(std::string_view text, size_t i, bool unicode, Parameter* p, bool* skip, size_t* next,
                     std::string* rest) {
  size_t start = skip_blanks(text, i);
  size_t end;
  std::string_view keyword = read_keyword(text.substr(start), &end);
  end += start;
  size_t stop = end;
  if (keyword == "{") {
    while (stop < text.size() && text[stop] != ',' && text[stop] != ')' && text[stop] != '}') ++stop;
    return fail(text, start, rest);
  }
  bool by_reference = false;
  while (stop < text.size() && text[stop] != ',' && text[stop] != ')') {
    if (text[stop] == '&') by_reference = true;
    ++stop;
  }
  *next = stop;
  char code = type_code(keyword);
  *skip = false;
  if (code == 'v') {
    if (is_void_word(keyword)) {
      *skip = true;
      return true;
    }
    return fail(text, start, rest);
  }
  if (!is_value_code(code)) return fail(text, start, rest);
  uint8_t flags = rejects_null(keyword) ? 0 : PARAM_NULL_ACCEPTED;
  if (code == 's' || code == 'g') {
    flags |= PARAM_STRING;
    if (keyword[0] == 'S') {
      if (unicode)
        code = 'g';
      else
        flags |= PARAM_ANSI_STRING;
    }
  }
  if (by_reference) flags |= PARAM_BY_REFERENCE;
  *p = Parameter{code, flags};
  return true;
}

}  // namespace

bool parse_declaration(std::string_view text, bool unicode, Signature* out, std::string* rest) {
  size_t end;
  std::string_view keyword = read_keyword(text, &end);
  size_t start = skip_blanks(text, 0);
  size_t open = skip_blanks(text, end);
  if (open >= text.size() || text[open] != '(') return fail(text, start, rest);
  if (keyword.empty()) {
    out->result = 'v';
  } else {
    char code = type_code(keyword);
    if (rejects_null(keyword) || (code != 'v' && !is_value_code(code))) return fail(text, start, rest);
    out->result = code;
  }
  size_t i = open + 1;
  size_t first = skip_blanks(text, i);
  if (first < text.size() && text[first] == ')') return true;
  for (;;) {
    Parameter p{};
    bool skip = false;
    size_t next = 0;
    if (!parse_parameter(text, i, unicode, &p, &skip, &next, rest)) return false;
    if (!skip) out->parameters.push_back(p);
    if (next >= text.size()) return fail(text, i, rest);  // no closing ')'
    if (text[next] == ')') return true;
    i = next + 1;
  }
}

}  // namespace quevro
