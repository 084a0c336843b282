// table.tostring: writes a table as a constructor the compiler reads back. Array-flagged tables
// become "[...]" with their consecutive keys 1, 2, 3... left out; other tables "{...}".
#include <cmath>
#include <cstdio>
#include <vector>

#include "compiler/chunk_dumper.h"
#include "vm/reserved_words.h"
#include "lib/library_support.h"
#include "lib/string_library.h"
#include "lib/table_library.h"
#include "vm/calls.h"
#include "vm/closure.h"

namespace quevro {

namespace {

constexpr int SERIALIZE_DEPTH_LIMIT = 200;

void append_number(double n, std::string& out) {
  // Non-finite numbers have no numeral; write an expression that yields them.
  if (n != n) {
    out += "(0/0)";
  } else if (std::isinf(n)) {
    out += n > 0 ? "(1/0)" : "(-1/0)";
  } else {
    char buf[32];
    out.append(buf, format_number(n, buf));
  }
}

// A counted literal: byte 0, the flags byte, the decimal length, the separator and the bytes.
void append_counted(const char* s, size_t len, uint8_t flags, char separator, std::string& out) {
  out.push_back('\0');
  out.push_back(static_cast<char>(flags));
  out += std::to_string(len);
  out.push_back(separator);
  out.append(s, len);
}

// A quoted literal: double quotes when the text can stand as it is, else single quotes with
// escapes. Wide strings always take the single-quoted form, the one the 'u' suffix applies to.
void append_quoted(const StringObject* s, std::string& out) {
  std::string escaped;
  bool wide = s->is_wide();
  bool needs = escape_text(s->data(), s->length, wide, false, false, wide, escaped);
  if (!needs) {
    out.push_back('"');
    out.append(s->data(), s->length);
    out.push_back('"');
    return;
  }
  out.push_back('\'');
  out += escaped;
  out.push_back('\'');
  if (wide) out.push_back('u');
}

bool is_identifier(const StringObject* s) {
  if (s->is_wide() || s->length == 0) return false;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s->data());
  if (p[0] >= '0' && p[0] <= '9') return false;
  for (uint32_t i = 0; i < s->length; ++i) {
    unsigned char c = p[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c >= 0x80;
    if (!ok) return false;
  }
  // Keywords cannot stand as a field name.
  return !(s->reserved >= 1 && s->reserved <= RESERVED_WORD_COUNT);
}

int write_chunk_piece(VmState*, const void* bytes, size_t size, void* ud) {
  static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
  return 0;
}

class Serializer {
 public:
  Serializer(VmState* L, bool raw) : L_(L), raw_(raw) {}
  Serializer(VmState* L, int max_entries, size_t max_bytes)
      : L_(L), raw_(false), limited_(true), entries_left_(max_entries), max_bytes_(max_bytes) {}

  // True when a limited text stopped before the end.
  bool cut() const { return cut_; }

  // Writes the value at stack index idx.
  void value(int idx, bool outermost, std::string& out) {
    Value v = *stack_address(L_, idx);
    switch (v.tag) {
      case TAG_STRING:
        if (raw_)
          append_counted(v.string()->data(), v.string()->length, v.string()->flags, '=', out);
        else
          append_quoted(v.string(), out);
        return;
      case TAG_NUMBER: append_number(v.u.n, out); return;
      case TAG_BOOLEAN: out += v.u.b ? "true" : "false"; return;
      case TAG_POINTER: {
        char buf[40];
        std::snprintf(buf, sizeof buf, "topointer(0x%llx)", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v.u.p)));
        out += buf;
        return;
      }
      case TAG_TABLE: table(idx, outermost, out); return;
      case TAG_CDATA:
        if (v.cdata()->is_buffer()) {
          buffer(v.cdata(), out);
        } else if (!custom(idx, out)) {
          out += "null";
        }
        return;
      case TAG_FUNCTION:
        if (raw_ && v.closure()->is_script) {
          std::string chunk;
          if (dump_prototype(L_, v.closure()->proto, write_chunk_piece, &chunk, false, nullptr) == 0) {
            out += "loadcode(";
            append_counted(chunk.data(), chunk.size(), 0, '=', out);
            out += ")";
            return;
          }
        }
        out += "null";
        return;
      default: out += "null"; return;
    }
  }

 private:
  VmState* L_;
  bool raw_;
  std::vector<TableObject*> open_;  // tables being written, for cycles
  bool limited_ = false;
  int entries_left_ = 0;
  size_t max_bytes_ = 0;
  bool cut_ = false;

  bool room_for_entry(const std::string& out) {
    if (!limited_) return true;
    if (entries_left_ == 0 || out.size() >= max_bytes_) return false;
    --entries_left_;
    return true;
  }

  void buffer(CdataObject* c, std::string& out) {
    out += "raw.buffer(" + std::to_string(c->size) + ",";
    const char* bytes = reinterpret_cast<const char*>(c->data());
    if (raw_) {
      append_counted(bytes, c->size, 0, '=', out);
    } else {
      static const char digits[] = "0123456789ABCDEF";
      out.push_back('\'');
      for (uint32_t i = 0; i < c->size; ++i) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        out += "\\x";
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
      }
      out.push_back('\'');
    }
    out.push_back(')');
  }

  // The text of a `_serialize` metamethod, when the value's metatable has one.
  bool custom(int idx, std::string& out) {
    if (!get_metatable(L_, idx)) return false;
    push_string(L_, "_serialize");
    raw_get(L_, -2);
    if (type_of(L_, -1) != TAG_FUNCTION) {
      pop(L_, 2);
      return false;
    }
    push_value(L_, idx);
    push_boolean(L_, raw_);
    call(L_, 2, 1);
    size_t len;
    const char* s = to_text(L_, -1, &len);
    if (s)
      out.append(s, len);
    else
      out += "null";
    pop(L_, 2);
    return true;
  }

  void key(const Value& k, bool array, std::string& out) {
    if (k.tag == TAG_STRING) {
      const StringObject* s = k.string();
      if (raw_ && !s->is_wide() && s->length > 0) {
        append_counted(s->data(), s->length, s->flags, ':', out);
        out += "=";
        return;
      }
      if (is_identifier(s)) {
        out.append(s->data(), s->length);
      } else {
        if (!array) out.push_back('[');
        append_quoted(s, out);
        if (!array) out.push_back(']');
      }
      out += array ? ":" : "=";
      return;
    }
    if (!array) out.push_back('[');
    if (k.tag == TAG_NUMBER) {
      append_number(k.u.n, out);
    } else if (k.tag == TAG_BOOLEAN) {
      out += k.u.b ? "true" : "false";
    } else {
      out += "null";
    }
    out += array ? ":" : "]=";
  }

  void table(int idx, bool outermost, std::string& out) {
    TableObject* t = stack_address(L_, idx)->table();
    for (TableObject* o : open_)
      if (o == t) {
        out += "null";
        return;
      }
    if (t->metatable && custom(idx, out)) return;
    if (open_.size() >= SERIALIZE_DEPTH_LIMIT || !check_stack(L_, 6)) library_error(L_, "Too deeply nested.");
    open_.push_back(t);
    bool array = t->array_flag != 0;
    bool lines = outermost && !raw_;
    out.push_back(array ? '[' : '{');
    if (lines) out.push_back('\n');
    const char* separator = array ? "," : ";";
    double expected = 1;
    bool first = true;
    push_null(L_);
    while (next(L_, idx)) {
      // Stack: key, value.
      int vi = get_top(L_);
      Value k = *stack_address(L_, vi - 1);
      // Keys that are neither strings nor numbers cannot be written; skip such entries.
      if (k.tag != TAG_STRING && k.tag != TAG_NUMBER && k.tag != TAG_BOOLEAN) {
        pop(L_, 1);
        continue;
      }
      if (cut_) {
        pop(L_, 2);  // a nested table ran out of room; the traversal ends with it
        break;
      }
      if (!first) {
        out += separator;
        if (lines) out.push_back('\n');
      }
      if (!room_for_entry(out)) {
        cut_ = true;
        pop(L_, 2);
        break;
      }
      first = false;
      if (array && k.tag == TAG_NUMBER && k.u.n == expected) {
        expected += 1;
      } else {
        key(k, array, out);
      }
      value(vi, false, out);
      pop(L_, 1);
    }
    open_.pop_back();
    if (cut_) return;
    if (lines && !first) out.push_back('\n');
    out.push_back(array ? ']' : '}');
  }
};

}  // namespace

void serialize_table(VmState* L, int idx, bool raw, std::string& out) {
  ensure_stack(L, 8);
  Serializer(L, raw).value(idx, true, out);
}

void preview_table(VmState* L, int idx, int max_entries, size_t max_bytes, std::string& out) {
  ensure_stack(L, 8);
  std::string text;
  Serializer writer(L, max_entries, max_bytes);
  writer.value(idx, true, text);
  if (writer.cut() || text.size() > max_bytes) {
    // A single long value can still overrun the limit; cut on a character boundary.
    if (text.size() > max_bytes) {
      size_t end = max_bytes;
      while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
      text.resize(end);
    }
    text += "...";
  }
  out += text;
}

}  // namespace quevro
