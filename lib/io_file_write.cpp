// Writing to file objects: values as text, and raw bytes.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/io_file.h"
#include "lib/library_support.h"
#include "lib/memory_map.h"

namespace quevro {

namespace {

[[noreturn]] void binary_in_text_mode(VmState* L) {
  library_error(L, "write fails for binary data types in text mode");
}

bool is_text(const FileData* d) { return d->translation != BINARY_MODE; }

bool is_structure(VmState* L, int idx) {
  raw_get_field(L, idx, "_struct");
  bool yes = !is_none_or_null(L, -1);
  pop(L, 1);
  return yes;
}

// fwrite with its failure as an errno (0 when every byte went to the stream).
int write_bytes(std::FILE* f, const void* data, size_t len) {
  errno = 0;
  if (len == 0 || std::fwrite(data, 1, len, f) == len) return 0;
  return errno != 0 ? errno : EIO;
}

}  // namespace

// write(values...): strings and numbers as their text; buffers (and, later, structures) as their
// bytes, which a text-mode file refuses. Returns the file, or the failure results.
int file_write(VmState* L) {
  FileData* d = check_file(L, 1);
  clear_marks(d->stream);
  int last = get_top(L);
  for (int i = ARG1; i <= last; ++i) {
    const Value* v = stack_address(L, i);
    size_t len = 0;
    const char* bytes = nullptr;
    if (is_buffer_value(v)) {
      if (is_text(d)) binary_in_text_mode(L);
      bytes = to_lstring(L, i, &len);
    } else if (v->tag == TAG_TABLE && is_structure(L, i)) {
      if (is_text(d)) binary_in_text_mode(L);
      // Packing needs the structure marshalling of native calls, which is not there yet.
      arg_error(L, i, "writing a structure (_struct) is not supported yet");
    } else if (v->tag == TAG_STRING || v->tag == TAG_NUMBER) {
      bytes = to_lstring(L, i, &len);
    } else {
      type_arg_error(L, i, "string");
    }
    if (int err = write_bytes(d->stream, bytes, len)) return push_failure(L, err);
  }
  push_value(L, 1);
  return 1;
}

// writeBuffer(data, size): the bytes of a string or buffer (at most size), or size bytes at a
// pointer. Returns the count written.
int file_write_buffer(VmState* L) {
  FileData* d = check_file(L, 1);
  clear_marks(d->stream);
  const Value* v = stack_address(L, ARG1);
  const void* data = nullptr;
  size_t len = 0;
  if (v->tag == TAG_STRING || is_buffer_value(v)) {
    data = to_lstring(L, ARG1, &len);
    if (!is_none_or_null(L, ARG2)) len = std::min(len, count_argument(check_number(L, ARG2)));
  } else if (void* memory = memory_at(v)) {
    data = memory;
    len = count_argument(check_number(L, ARG2));
    if (!memory_is_accessible(memory, len, false)) return push_failure(L, EFAULT);
  } else {
    type_arg_error(L, ARG1, "buffer");
  }
  // Binary bytes would garble a terminal: the standard output and error streams take them only
  // in binary mode.
  if ((d->stream == stdout || d->stream == stderr) && is_text(d)) binary_in_text_mode(L);
  if (int err = write_bytes(d->stream, data, len)) return push_failure(L, err);
  push_number(L, static_cast<double>(len));
  return 1;
}

}  // namespace quevro
