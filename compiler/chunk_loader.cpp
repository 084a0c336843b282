#include "compiler/chunk_loader.h"

#include <cstring>
#include <string>

#include "compiler/chunk_format.h"
#include "compiler/verifier.h"
#include "vm/exec_form.h"
#include "vm/api.h"
#include "vm/memory.h"

namespace quevro {

namespace {

constexpr int LOAD_DEPTH_LIMIT = 200;

class ChunkReader {
 public:
  ChunkReader(VmState* L, const char* data, size_t len, const char* chunk_name)
      : L_(L), data_(data), len_(len), name_(chunk_name) {
    if (!name_.empty() && (name_[0] == '@' || name_[0] == '=')) name_.erase(0, 1);
  }

  Prototype* read_chunk() {
    char header[CHUNK_HEADER_SIZE];
    read_bytes(header, CHUNK_HEADER_SIZE);
    if (std::memcmp(header, CHUNK_HEADER, CHUNK_HEADER_SIZE) != 0) fail("bad header");
    StringObject* placeholder = intern_string(L_, "=?");
    return read_function(placeholder);
  }

 private:
  [[noreturn]] void fail(const char* why) {
    std::string message = name_ + ": " + why + " in precompiled chunk";
    ensure_stack(L_, 1);
    push_lstring(L_, message.data(), message.size());
    throw_status(L_, STATUS_SYNTAX);
  }

  void read_bytes(void* out, size_t n) {
    if (len_ - pos_ < n) fail("<unexpected end>");
    std::memcpy(out, data_ + pos_, n);
    pos_ += n;
  }

  uint8_t read_byte() {
    uint8_t b;
    read_bytes(&b, 1);
    return b;
  }

  int32_t read_int() {
    unsigned char b[4];
    read_bytes(b, 4);
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                                (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24));
  }

  int32_t read_count() {
    int32_t n = read_int();
    if (n < 0) fail("bad integer");
    return n;
  }

  double read_number() {
    unsigned char b[8];
    read_bytes(b, 8);
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | b[i];
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // The array's byte size must fit a 32-bit size, as stored chunks are platform independent.
  template <class T>
  T* new_array(int32_t count) {
    if (static_cast<uint64_t>(count) * sizeof(T) > 0xFFFFFFFFull) block_too_big(L_);
    return static_cast<T*>(mem_realloc(L_, nullptr, 0, sizeof(T) * static_cast<size_t>(count)));
  }

  StringObject* read_string() {
    uint32_t size = static_cast<uint32_t>(read_int());
    if (size == 0) return nullptr;
    // size counts the content, one zero byte and the flags byte.
    if (size < 2) fail("bad integer");
    size_t content = size - 2;
    if (len_ - pos_ < static_cast<size_t>(size)) fail("<unexpected end>");
    const char* bytes = data_ + pos_;
    pos_ += size - 1;
    uint8_t flags = read_byte();
    StringObject* s = intern_bytes(L_, bytes, content, (flags & STR_WIDE) != 0);
    if (s->length != 0) s->flags = flags;
    return s;
  }

  Prototype* read_function(StringObject* enclosing_source) {
    if (++L_->native_depth > LOAD_DEPTH_LIMIT) fail("code too deep");
    Prototype* p = new_prototype(L_);
    ensure_stack(L_, 1);
    push(L_, make_object(p));  // anchored while it is read
    p->source = read_string();
    if (p->source == nullptr) p->source = enclosing_source;
    p->line_defined = read_count();
    p->last_line_defined = read_count();
    p->nupvalues = read_byte();
    p->numparams = read_byte();
    p->vararg_flags = read_byte();
    p->max_stack_size = read_byte();
    p->is_class = read_byte();

    int32_t n = read_count();
    p->code = new_array<Instruction>(n);
    p->size_code = n;
    for (int32_t i = 0; i < n; ++i) p->code[i] = static_cast<Instruction>(read_int());
    convert_to_exec_form(p);  // after the frame's sizes above, which it reads

    n = read_count();
    p->constants = new_array<Value>(n);
    p->size_constants = n;
    for (int32_t i = 0; i < n; ++i) p->constants[i] = make_null();
    for (int32_t i = 0; i < n; ++i) {
      uint8_t type = read_byte();
      switch (type) {
        case TAG_NULL: break;
        case TAG_BOOLEAN: p->constants[i] = make_boolean(read_byte() != 0 ? 1 : 0); break;
        case TAG_NUMBER: p->constants[i] = make_number(read_number()); break;
        case TAG_STRING: {
          StringObject* s = read_string();
          p->constants[i] = s ? make_string(s) : make_null();
          break;
        }
        default: fail("bad constant");
      }
    }

    n = read_count();
    p->protos = new_array<Prototype*>(n);
    p->size_protos = n;
    for (int32_t i = 0; i < n; ++i) p->protos[i] = nullptr;
    for (int32_t i = 0; i < n; ++i) p->protos[i] = read_function(p->source);

    n = read_count();
    p->line_info = new_array<int>(n);
    p->size_line_info = n;
    for (int32_t i = 0; i < n; ++i) p->line_info[i] = read_int();

    n = read_count();
    p->locals = new_array<LocalVarInfo>(n);
    p->size_locals = n;
    for (int32_t i = 0; i < n; ++i) p->locals[i] = LocalVarInfo{nullptr, 0, 0};
    for (int32_t i = 0; i < n; ++i) {
      p->locals[i].name = read_string();
      p->locals[i].start_pc = read_count();
      p->locals[i].end_pc = read_count();
    }

    n = read_count();
    p->upvalue_names = new_array<StringObject*>(n);
    p->size_upvalue_names = n;
    for (int32_t i = 0; i < n; ++i) p->upvalue_names[i] = nullptr;
    for (int32_t i = 0; i < n; ++i) p->upvalue_names[i] = read_string();

    if (!verify_prototype(p)) fail("bad code");
    L_->top--;
    L_->native_depth--;
    return p;
  }

  VmState* L_;
  const char* data_;
  size_t len_;
  size_t pos_ = 0;
  std::string name_;
};

}  // namespace

Prototype* load_precompiled(VmState* L, const char* data, size_t len, const char* chunk_name) {
  ChunkReader reader(L, data, len, chunk_name ? chunk_name : "?");
  return reader.read_chunk();
}

}  // namespace quevro
