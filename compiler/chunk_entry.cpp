#include "compiler/chunk_entry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "compiler/chunk_loader.h"
#include "compiler/compiler.h"
#include "vm/api.h"
#include "vm/calls.h"
#include "vm/collector.h"
#include "vm/encoding.h"
#include "vm/utf.h"

namespace quevro {

namespace {

struct LoadRequest {
  const char* data;
  size_t len;
  const char* chunk_name;
};

void load_body(VmState* L, void* ud) {
  auto* req = static_cast<LoadRequest*>(ud);
  CollectorBlock block(L);  // the prototypes are reachable only once the closure exists
  Prototype* p = (req->len > 0 && req->data[0] == '=')
                     ? load_precompiled(L, req->data, req->len, req->chunk_name)
                     : compile_source(L, req->data, req->len, req->chunk_name);
  ensure_stack(L, 1);
  ClosureObject* c = new_script_closure(L, p, L->globals.table());
  // A dumped function's captured variables stay behind in the state it came from: each gets a
  // fresh cell holding null, so that reading one never follows an empty slot.
  for (int i = 0; i < c->nupvalues; ++i) c->script_upvalues()[i] = new_closed_upvalue(L);
  push(L, make_object(c));
}

bool has_bom(const char* s, size_t len) { return len >= 3 && std::memcmp(s, "\xEF\xBB\xBF", 3) == 0; }

bool ends_with_ignoring_case(const char* s, const char* suffix) {
  size_t len = std::strlen(s);
  size_t n = std::strlen(suffix);
  return len >= n && strcasecmp(s + len - n, suffix) == 0;
}

}  // namespace

int load_buffer(VmState* L, const char* data, size_t len, const char* chunk_name) {
  LoadRequest req{data, len, chunk_name};
  return protected_run(L, load_body, &req);
}

int load_file(VmState* L, const char* path) {
  std::string chunk_name = std::string("@") + path;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) {
    ensure_stack(L, 1);
    push_fstring(L, "\n{Failed}:%s\n{File}:%s\n{Error}:%s", "open", path, std::strerror(errno));
    return STATUS_FILE;
  }
  std::string content;
  // Size the buffer once from the file's length; the loop still reads whatever the file holds.
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long size = std::ftell(f);
    if (size > 0) content.reserve(static_cast<size_t>(size));
    std::fseek(f, 0, SEEK_SET);
  }
  char buffer[1024];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
  std::fclose(f);
  size_t skip = 0;
  if (ends_with_ignoring_case(path, ".qvu")) {
    if (!has_bom(content.data(), content.size())) {
      // A ".qvu" file in the locale's charset is rewritten once as UTF-8 with a byte-order mark.
      std::u16string wide;
      std::string utf8;
      ansi_to_utf16(content.data(), content.size(), &wide);
      utf16_to_utf8(wide.data(), wide.size(), &utf8);
      content = "\xEF\xBB\xBF" + utf8;
      if (std::FILE* out = std::fopen(path, "wb")) {
        std::fwrite(content.data(), 1, content.size(), out);
        std::fclose(out);
      }
    }
    skip = 3;
  }
  return load_buffer(L, content.data() + skip, content.size() - skip, chunk_name.c_str());
}

int load_from_reader(VmState* L, int reader, const char* chunk_name) {
  std::string text;
  for (;;) {
    ensure_stack(L, 2);
    push_value(L, reader);
    call(L, 0, 1);
    int t = type_of(L, -1);
    if (t == TAG_NULL) {
      L->top--;
      break;
    }
    if (t != TAG_STRING && t != TAG_NUMBER) {
      L->top--;
      push_string(L, "reader function must return a string");
      return STATUS_RUNTIME;
    }
    size_t n;
    const char* piece = to_lstring(L, -1, &n);
    text.append(piece, n);
    L->top--;
  }
  return load_buffer(L, text.data(), text.size(), chunk_name);
}

}  // namespace quevro
