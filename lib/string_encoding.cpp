#include "lib/string_encoding.h"

#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/app_paths.h"
#include "runtime/modules.h"
#include "lib/library_support.h"
#include "vm/utf.h"

namespace quevro {

namespace {

constexpr int CP_UTF8 = 65001;
constexpr int CP_ANSI = 0;
constexpr int CP_UTF16 = 1200;

std::string charset_of(int code_page) {
  if (code_page == CP_ANSI) {
    const char* cs = nl_langinfo(CODESET);
    return cs && *cs ? cs : "UTF-8";
  }
  return "CP" + std::to_string(code_page);
}

bool is_utf8_charset(const std::string& cs) { return cs == "UTF-8" || cs == "utf8" || cs == "UTF8"; }

// Runs iconv over the whole input; false when the conversion is unknown or the input malformed.
bool convert(const char* from, const char* to, const char* in, size_t len, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->clear();
  char* src = const_cast<char*>(in);
  size_t left = len;
  char chunk[4096];
  bool ok = true;
  while (left > 0) {
    char* dst = chunk;
    size_t room = sizeof chunk;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out->append(chunk, static_cast<size_t>(dst - chunk));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

bool bytes_to_utf16(const char* s, size_t len, int code_page, std::u16string* out) {
  if (code_page == CP_UTF16) {
    out->assign(reinterpret_cast<const char16_t*>(s), len / 2);
    return true;
  }
  std::string cs = code_page == CP_UTF8 ? "UTF-8" : charset_of(code_page);
  if (is_utf8_charset(cs)) return utf8_to_utf16(s, len, out);
  std::string bytes;
  if (!convert(cs.c_str(), "UTF-16LE", s, len, &bytes)) return false;
  out->assign(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
  return true;
}

bool utf16_to_bytes(const char16_t* u, size_t units, int code_page, std::string* out) {
  if (code_page == CP_UTF16) {
    out->assign(reinterpret_cast<const char*>(u), units * 2);
    return true;
  }
  std::string cs = code_page == CP_UTF8 ? "UTF-8" : charset_of(code_page);
  if (is_utf8_charset(cs)) return utf16_to_utf8(u, units, out);
  return convert("UTF-16LE", cs.c_str(), reinterpret_cast<const char*>(u), units * 2, out);
}

namespace {

// The bytes of a text argument: a string, a buffer, or a pointer to zero-terminated text (units
// of unit_size bytes); length (when given and not negative) limits them.
std::string source_bytes(VmState* L, int idx, int length_idx, size_t unit_size) {
  const Value* v = stack_address(L, idx);
  std::string bytes;
  if (v->tag == TAG_POINTER) {
    const char* p = static_cast<const char*>(v->u.p);
    int64_t limit = opt_int64(L, length_idx, -1);
    if (limit >= 0) {
      bytes.assign(p, static_cast<size_t>(limit) * unit_size);
    } else if (unit_size == 2) {
      const char16_t* w = reinterpret_cast<const char16_t*>(p);
      size_t n = 0;
      while (w[n]) ++n;
      bytes.assign(p, n * 2);
    } else {
      bytes.assign(p);
    }
    return bytes;
  }
  size_t len;
  const char* s = check_text(L, idx, &len);
  int64_t limit = opt_int64(L, length_idx, -1);
  if (limit >= 0 && static_cast<size_t>(limit) * unit_size < len) len = static_cast<size_t>(limit) * unit_size;
  bytes.assign(s, len);
  return bytes;
}

uint8_t flags_for(int code_page) {
  if (code_page == CP_UTF8) return STR_UTF8;
  if (code_page == CP_ANSI) return STR_ANSI;
  return 0;
}

}  // namespace

int str_to_utf16(VmState* L) {
  const Value* v = stack_address(L, ARG1);
  if (v->tag == TAG_STRING && v->string()->is_wide()) {
    push_value(L, ARG1);
    return 1;
  }
  int code_page = opt_integer(L, ARG2, CP_UTF8);
  if (v->tag == TAG_STRING && (v->string()->flags & STR_UTF8)) code_page = CP_UTF8;
  if (v->tag == TAG_STRING && (v->string()->flags & STR_ANSI) && !(v->string()->flags & STR_UTF8)) code_page = CP_ANSI;
  std::string bytes = source_bytes(L, ARG1, ARG3, 1);
  std::u16string u;
  if (!bytes_to_utf16(bytes.data(), bytes.size(), code_page, &u)) library_error(L, "Invalid UTF");
  push_wstring(L, u.data(), u.size());
  return 1;
}

int str_from_utf16(VmState* L) {
  int code_page = opt_integer(L, ARG2, CP_UTF8);
  std::string bytes = source_bytes(L, ARG1, ARG3, 2);
  std::string out;
  if (!utf16_to_bytes(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2, code_page, &out))
    library_error(L, "Invalid UTF");
  push_string_flags(L, out.data(), out.size(), flags_for(code_page));
  return 1;
}

int str_from_utf16_if(VmState* L) {
  const Value* v = stack_address(L, ARG1);
  if (!(v->tag == TAG_STRING && v->string()->is_wide())) {
    check_any(L, ARG1);
    push_value(L, ARG1);
    return 1;
  }
  return str_from_utf16(L);
}

int str_fromto(VmState* L) {
  size_t len;
  const char* s = check_text(L, ARG1, &len);
  int from = opt_integer(L, ARG2, CP_UTF8);
  int to = opt_integer(L, ARG3, CP_ANSI);
  std::u16string u;
  std::string out;
  if (!bytes_to_utf16(s, len, from, &u) || !utf16_to_bytes(u.data(), u.size(), to, &out))
    library_error(L, "Invalid UTF");
  if (to == CP_UTF16)
    push_wstring(L, u.data(), u.size());
  else
    push_string_flags(L, out.data(), out.size(), flags_for(to));
  return 1;
}

namespace {

bool read_file(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    return false;
  }
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
  std::fclose(f);
  return true;
}

int load(VmState* L, bool as_buffer) {
  size_t len;
  const char* p = check_text(L, ARG1, &len);
  std::string path(p, len);
  std::string content;
  bool found = read_file(resolve_against_root(L, path), &content);
  if (!found && !path.empty() && path[0] == '~') found = read_file(resolve_against_root(L, path.substr(1)), &content);
  if (found) {
    if (as_buffer) {
      void* data = new_cdata(L, content.size());
      std::memcpy(data, content.data(), content.size());
    } else if (content.size() >= 2 && content.size() % 2 == 0 && static_cast<unsigned char>(content[0]) == 0xFF &&
               static_cast<unsigned char>(content[1]) == 0xFE) {
      push_wstring(L, reinterpret_cast<const char16_t*>(content.data()), content.size() / 2);
    } else {
      push_lstring(L, content.data(), content.size());
    }
    return 1;
  }
  std::string name = path;
  for (char& c : name)
    if (c == '\\') c = '/';
  std::string type = "RES";
  if (type_of(L, ARG2) == TAG_STRING) type = to_string(L, ARG2);
  if (push_resource(L, type.c_str(), name, as_buffer) > 0) return 1;
  // Resource names may be written with or without their leading separator.
  if (!name.empty() && name[0] != '/' && push_resource(L, type.c_str(), "/" + name, as_buffer) > 0) return 1;
  return 0;
}

bool make_parents(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    std::string dir = path.substr(0, at);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

int str_load(VmState* L) { return load(L, false); }
int str_load_buffer(VmState* L) { return load(L, true); }

int str_save(VmState* L) {
  size_t plen, len;
  const char* p = check_text(L, ARG1, &plen);
  const char* text = check_text(L, ARG2, &len);
  bool append = !is_falsy(*stack_address(L, ARG3));
  std::string path = resolve_against_root(L, std::string(p, plen));
  if (plen == 0 || path.empty() || path.back() == '/') arg_error(L, ARG1, "Invalid path");
  make_parents(path);
  // Truncating in place (rather than replacing the file) keeps an existing file's attributes.
  FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (f == nullptr) {
    int e = errno;
    push_boolean(L, false);
    push_string(L, std::strerror(e));
    return 2;
  }
  text = to_text(L, ARG2, &len);
  // The error a failed write left, or else the one the closing flush meets (a full disk often
  // shows only there).
  size_t written = std::fwrite(text, 1, len, f);
  int e = written == len ? 0 : errno;
  bool closed = std::fclose(f) == 0;
  if (closed == false && e == 0) e = errno;
  if (!closed || written != len) {
    push_boolean(L, false);
    push_string(L, std::strerror(e));
    return 2;
  }
  push_boolean(L, true);
  return 1;
}

}  // namespace quevro
