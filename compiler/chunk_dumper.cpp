#include "compiler/chunk_dumper.h"

#include <cstring>
#include <string>

#include "compiler/chunk_format.h"
#include "vm/exec_form.h"
#include "vm/string.h"

namespace quevro {

namespace {

class ChunkDumper {
 public:
  ChunkDumper(VmState* L, ChunkWriter writer, void* ud, bool strip, const char* chunk_name)
      : L_(L), writer_(writer), ud_(ud), strip_(strip), chunk_name_(chunk_name) {}

  int dump(const Prototype* p) {
    write(CHUNK_HEADER, CHUNK_HEADER_SIZE);
    write_function(p, nullptr);
    return status_;
  }

 private:
  void write(const void* bytes, size_t n) {
    if (status_ == 0 && n > 0) status_ = writer_(L_, bytes, n, ud_);
  }
  void write_byte(uint8_t b) { write(&b, 1); }
  void write_int(int32_t v) {
    auto u = static_cast<uint32_t>(v);
    unsigned char b[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                          static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    write(b, 4);
  }
  void write_number(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(bits >> (8 * i));
    write(b, 8);
  }
  // size = bytes + 2: the content, one zero byte, the flags byte.
  void write_string(const StringObject* s) {
    if (s == nullptr) {
      write_int(0);
      return;
    }
    write_int(static_cast<int32_t>(s->length + 2));
    write(s->data(), s->length + 1);
    write_byte(s->flags);
  }

  void write_function(const Prototype* p, const StringObject* enclosing_source) {
    if (p->source == enclosing_source || strip_) {
      write_int(0);
    } else if (enclosing_source == nullptr && chunk_name_ != nullptr) {
      size_t n = std::strlen(chunk_name_);
      write_int(static_cast<int32_t>(n + 2));
      write(chunk_name_, n + 1);
      write_byte(STR_UTF8);
    } else {
      write_string(p->source);
    }
    write_int(p->line_defined);
    write_int(p->last_line_defined);
    write_byte(p->nupvalues);
    write_byte(p->numparams);
    write_byte(p->vararg_flags);
    write_byte(p->max_stack_size);
    write_byte(p->is_class);

    write_int(p->size_code);
    std::string words;
    words.reserve(static_cast<size_t>(p->size_code) * 4);
    for (int i = 0; i < p->size_code; ++i)
      for (int k = 0; k < 4; ++k) words.push_back(static_cast<char>(original_instruction(p, i) >> (8 * k)));
    write(words.data(), words.size());

    write_int(p->size_constants);
    for (int i = 0; i < p->size_constants; ++i) {
      const Value& k = p->constants[i];
      uint8_t type = static_cast<uint8_t>(k.tag);
      write_byte(type);
      switch (k.tag) {
        case TAG_BOOLEAN: write_byte(k.u.b != 0 ? 1 : 0); break;
        case TAG_NUMBER: write_number(k.u.n); break;
        case TAG_STRING: write_string(k.string()); break;
        default: break;
      }
    }

    write_int(p->size_protos);
    for (int i = 0; i < p->size_protos; ++i) write_function(p->protos[i], p->source);

    if (strip_) {
      write_int(0);
      write_int(0);
      write_int(0);
      return;
    }
    write_int(p->size_line_info);
    for (int i = 0; i < p->size_line_info; ++i) write_int(p->line_info[i]);
    write_int(p->size_locals);
    for (int i = 0; i < p->size_locals; ++i) {
      write_string(p->locals[i].name);
      write_int(p->locals[i].start_pc);
      write_int(p->locals[i].end_pc);
    }
    write_int(p->size_upvalue_names);
    for (int i = 0; i < p->size_upvalue_names; ++i) write_string(p->upvalue_names[i]);
  }

  VmState* L_;
  ChunkWriter writer_;
  void* ud_;
  bool strip_;
  const char* chunk_name_;
  int status_ = 0;
};

}  // namespace

int dump_prototype(VmState* L, const Prototype* p, ChunkWriter writer, void* ud, bool strip, const char* chunk_name) {
  ChunkDumper dumper(L, writer, ud, strip, chunk_name);
  return dumper.dump(p);
}

}  // namespace quevro
