// Reading from file objects: lines, counts of bytes, numbers, everything, up to a byte, backwards,
// into buffers, and UTF-16 text.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "lib/io_file.h"
#include "lib/library_support.h"
#include "lib/memory_map.h"
#include "vm/error.h"
#include "vm/utf.h"

namespace quevro {

namespace {

// Pieces in which unbounded reads grow their result; a count larger than the file never
// allocates more than what is really there.
constexpr size_t READ_PIECE = 64 * 1024;

[[noreturn]] void out_of_memory(VmState* L) { throw_status(L, STATUS_MEMORY); }

// getline's buffer, kept between lines. A read takes it for the duration of one line, so a read
// made meanwhile (a finaliser that the collector runs while the line is being stored) gets a
// buffer of its own instead of overwriting this one.
struct SpareBuffer {
  char* data = nullptr;
  size_t capacity = 0;
  ~SpareBuffer() { std::free(data); }
};
thread_local SpareBuffer spare;

// One piece of a stream up to a delimiter byte, as getdelim reads it.
class DelimitedRead {
 public:
  DelimitedRead(std::FILE* f, int delimiter) : data_(spare.data), capacity_(spare.capacity) {
    spare.data = nullptr;
    spare.capacity = 0;
    errno = 0;
    length_ = getdelim(&data_, &capacity_, delimiter, f);
    error_ = length_ < 0 && !std::feof(f) ? (errno != 0 ? errno : EIO) : 0;
  }
  ~DelimitedRead() {
    if (spare.data == nullptr) {
      spare.data = data_;
      spare.capacity = capacity_;
    } else {
      std::free(data_);
    }
  }
  DelimitedRead(const DelimitedRead&) = delete;
  DelimitedRead& operator=(const DelimitedRead&) = delete;

  bool found() const { return length_ >= 0; }
  int error() const { return error_; }
  const char* data() const { return data_; }
  // The length without the delimiter (when it ended the piece).
  size_t length_without(char delimiter) const {
    size_t n = static_cast<size_t>(length_);
    return n > 0 && data_[n - 1] == delimiter ? n - 1 : n;
  }

 private:
  char* data_;
  size_t capacity_;
  ssize_t length_ = -1;
  int error_ = 0;
};

// The outcome of one read: a value pushed, the end of the stream, or a system error.
struct ReadResult {
  bool pushed;
  int error;
};
constexpr ReadResult PUSHED{true, 0};
constexpr ReadResult AT_END{false, 0};

ReadResult error_or_end(std::FILE* f) {
  if (std::ferror(f)) return {false, errno != 0 ? errno : EIO};
  return AT_END;
}

// A line without its line feed and the carriage return before it.
ReadResult push_line(VmState* L, std::FILE* f) {
  DelimitedRead line(f, '\n');
  if (!line.found()) {
    if (line.error() == ENOMEM) out_of_memory(L);
    return {false, line.error()};
  }
  size_t n = line.length_without('\n');
  if (n > 0 && line.data()[n - 1] == '\r') --n;
  push_lstring(L, line.data(), n);
  return PUSHED;
}

// More than a string can hold is never gathered: one byte beyond the longest string is enough
// for storing the result to fail with the right error, even on an endless stream.
constexpr size_t MOST_GATHERED = UINT32_MAX;

// Appends up to count bytes to out; stops early at the end of the stream.
void append_bytes(VmState* L, std::FILE* f, size_t count, std::string* out) {
  count = std::min(count, MOST_GATHERED);
  try {
    size_t start = out->size();
    while (out->size() - start < count) {
      size_t want = std::min(count - (out->size() - start), std::max(READ_PIECE, out->size() - start));
      size_t at = out->size();
      out->resize(at + want);
      size_t got = std::fread(out->data() + at, 1, want, f);
      out->resize(at + got);
      if (got < want) break;
    }
  } catch (const std::bad_alloc&) {
    out_of_memory(L);
  }
}

// Up to count bytes; nothing at the end of the stream. A count of 0 gives "" unless the stream
// is at its end.
ReadResult push_bytes(VmState* L, std::FILE* f, size_t count) {
  if (count == 0) {
    int c = std::getc(f);
    if (c == EOF) return error_or_end(f);
    std::ungetc(c, f);
    push_string(L, "");
    return PUSHED;
  }
  std::string bytes;
  errno = 0;
  append_bytes(L, f, count, &bytes);
  if (bytes.empty()) return error_or_end(f);
  push_lstring(L, bytes.data(), bytes.size());
  return PUSHED;
}

ReadResult push_number_read(VmState* L, std::FILE* f) {
  double v;
  errno = 0;
  if (std::fscanf(f, "%lf", &v) != 1) return error_or_end(f);
  push_number(L, v);
  return PUSHED;
}

// One format of read: a count, "%d", "%s", or a structure table.
ReadResult read_format(VmState* L, std::FILE* f, int idx) {
  int type = type_of(L, idx);
  if (type == TAG_NUMBER) return push_bytes(L, f, count_argument(to_number(L, idx)));
  if (type == TAG_TABLE) {
    raw_get_field(L, idx, "_struct");
    bool is_structure = !is_none_or_null(L, -1);
    pop(L, 1);
    // Unpacking needs the structure marshalling of native calls, which is not there yet.
    if (is_structure) arg_error(L, idx, "reading a structure (_struct) is not supported yet");
    arg_error(L, idx, "invalid option");
  }
  size_t len;
  const char* format = type == TAG_STRING ? to_lstring(L, idx, &len) : nullptr;
  if (format == nullptr || len == 0 || format[0] != '%') arg_error(L, idx, "invalid option");
  if (len > 1 && format[1] == 'd') return push_number_read(L, f);
  if (len > 1 && format[1] == 's') return push_line(L, f);
  arg_error(L, idx, "invalid format");
}

// What a read returns: its values, or the failure results when the stream reported an error.
int read_results(VmState* L, int first_result, const ReadResult& last) {
  if (last.error != 0) {
    set_top(L, first_result - 1);
    return push_failure(L, last.error);
  }
  return get_top(L) - first_result + 1;
}

// A piece of the stream between two positions; the position is left at its start.
ReadResult push_range(VmState* L, std::FILE* f, off_t start, off_t end) {
  if (fseeko(f, start, SEEK_SET) != 0) return {false, errno};
  std::string bytes;
  errno = 0;
  append_bytes(L, f, static_cast<size_t>(end - start), &bytes);
  if (std::ferror(f)) return error_or_end(f);
  if (fseeko(f, start, SEEK_SET) != 0) return {false, errno};
  push_lstring(L, bytes.data(), bytes.size());
  return PUSHED;
}

int byte_at(std::FILE* f, off_t at) {
  if (fseeko(f, at, SEEK_SET) != 0) return EOF;
  return std::getc(f);
}

// Where the line that ends at `end` begins: just after the previous line feed, or 0.
bool find_line_start(std::FILE* f, off_t end, off_t* start) {
  char piece[4096];
  off_t cut = end;
  while (cut > 0) {
    off_t from = cut > static_cast<off_t>(sizeof piece) ? cut - static_cast<off_t>(sizeof piece) : 0;
    size_t n = static_cast<size_t>(cut - from);
    if (fseeko(f, from, SEEK_SET) != 0 || std::fread(piece, 1, n, f) != n) return false;
    const void* feed = memrchr(piece, '\n', n);
    if (feed) {
      *start = from + (static_cast<const char*>(feed) - piece) + 1;
      return true;
    }
    cut = from;
  }
  *start = 0;
  return true;
}

// The line that ends at the position: one line end right before it is passed over, the line's
// carriage return is dropped, and the position is left at the line's start.
ReadResult push_line_before(VmState* L, std::FILE* f, off_t at) {
  off_t end = at;
  if (byte_at(f, end - 1) == '\n') --end;
  off_t start;
  errno = 0;
  if (!find_line_start(f, end, &start)) return {false, errno != 0 ? errno : EIO};
  if (end > start && byte_at(f, end - 1) == '\r') --end;
  return push_range(L, f, start, end);
}

}  // namespace

// read(formats...): a line without formats; a read error gives null, its text and its number.
int file_read(VmState* L) {
  std::FILE* f = transfer_stream(L, 1);
  int last = get_top(L);
  int first_result = last + 1;
  if (last < ARG1) return read_results(L, first_result, push_line(L, f));
  if (!check_stack(L, last - 1 + 3)) library_error(L, "stack overflow (%s)", "too many arguments");
  ReadResult r = PUSHED;
  for (int i = ARG1; i <= last && r.pushed; ++i) r = read_format(L, f, i);
  return read_results(L, first_result, r);
}

// readAll(): from the start (when the stream can seek) to the end.
int file_read_all(VmState* L) {
  std::FILE* f = transfer_stream(L, 1);
  if (fseeko(f, 0, SEEK_SET) != 0) std::clearerr(f);  // pipes and terminals read on from here
  std::string content;
  errno = 0;
  append_bytes(L, f, SIZE_MAX, &content);
  if (std::ferror(f)) return push_failure(L, errno != 0 ? errno : EIO);
  push_lstring(L, content.data(), content.size());
  return 1;
}

// readTo(byte): up to that byte (not kept) or the end; a code outside 0..255 reads to the end.
int file_read_to(VmState* L) {
  std::FILE* f = transfer_stream(L, 1);
  int stop = opt_integer(L, ARG1, 0);
  if (stop < 0 || stop > 255) {
    std::string rest;
    errno = 0;
    append_bytes(L, f, SIZE_MAX, &rest);
    if (std::ferror(f)) return push_failure(L, errno != 0 ? errno : EIO);
    if (rest.empty()) return 0;
    push_lstring(L, rest.data(), rest.size());
    return 1;
  }
  DelimitedRead piece(f, stop);
  if (!piece.found()) {
    if (piece.error() == ENOMEM) out_of_memory(L);
    return piece.error() != 0 ? push_failure(L, piece.error()) : 0;
  }
  push_lstring(L, piece.data(), piece.length_without(static_cast<char>(stop)));
  return 1;
}

// readback(n): towards the start of the file (see push_line_before for the line form).
int file_readback(VmState* L) {
  std::FILE* f = transfer_stream(L, 1);
  off_t at = ftello(f);
  off_t size = 0;
  if (at < 0 || fseeko(f, 0, SEEK_END) != 0 || (size = ftello(f)) < 0) return push_failure(L, errno);
  // A position beyond the end reads back from the end.
  at = std::min(at, size);
  if (fseeko(f, at, SEEK_SET) != 0) return push_failure(L, errno);
  if (at == 0) return 0;
  int first_result = get_top(L) + 1;
  if (is_none_or_null(L, ARG1)) return read_results(L, first_result, push_line_before(L, f, at));
  int64_t n = opt_int64(L, ARG1, 0);
  off_t start;
  if (n > 0) {
    start = n >= at ? 0 : at - static_cast<off_t>(n);
  } else if (n < 0) {
    start = static_cast<off_t>(-n - 1);
    if (start >= at) return 0;
  } else {
    start = at;
  }
  return read_results(L, first_result, push_range(L, f, start, at));
}

// readBuffer(buffer, size): into a buffer (at most its size), or into memory at a pointer (size
// required). Returns the count of bytes read.
int file_read_buffer(VmState* L) {
  std::FILE* f = transfer_stream(L, 1);
  const Value* target = stack_address(L, ARG1);
  void* memory = nullptr;
  size_t room = 0;
  if (is_buffer_value(target)) {
    memory = to_cdata(L, ARG1);
    room = length_of(L, ARG1);
    if (!is_none_or_null(L, ARG2)) room = std::min(room, count_argument(check_number(L, ARG2)));
  } else if ((memory = memory_at(target)) != nullptr) {
    room = count_argument(check_number(L, ARG2));
    if (!memory_is_accessible(memory, room, true)) return push_failure(L, EFAULT);
  } else {
    type_arg_error(L, ARG1, "raw.buffer");
  }
  errno = 0;
  size_t got = std::fread(memory, 1, room, f);
  if (got < room && std::ferror(f)) return push_failure(L, errno != 0 ? errno : EIO);
  push_number(L, static_cast<double>(got));
  return 1;
}

// readUnicode(n, wide): up to n UTF-16 units (all that is left without n). A byte-order mark at
// the very start of the file is dropped and does not count. Text comes back as UTF-8, or as a
// wide string when wide is true.
int file_read_unicode(VmState* L) {
  std::FILE* f = transfer_stream(L, 1);
  size_t units = is_none_or_null(L, ARG1) ? SIZE_MAX / 2 : std::min(count_argument(check_number(L, ARG1)), SIZE_MAX / 2);
  bool wide = to_boolean(L, ARG2);
  std::string bytes;
  errno = 0;
  if (ftello(f) == 0 && units > 0) {
    append_bytes(L, f, 2, &bytes);
    if (bytes.size() == 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
      bytes.clear();
    else if (bytes.size() == 2)
      --units;  // the first unit is read already
    else
      units = 0;  // the file ends here
  }
  append_bytes(L, f, units * 2, &bytes);
  if (std::ferror(f)) return push_failure(L, errno != 0 ? errno : EIO);
  if (bytes.size() % 2 != 0) {
    std::ungetc(static_cast<unsigned char>(bytes.back()), f);  // half a unit stays for the next read
    bytes.pop_back();
  }
  if (bytes.empty()) return 0;
  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), bytes.size());
  if (wide) {
    push_wstring(L, text.data(), text.size());
  } else {
    std::string utf8;
    utf16_to_utf8(text.data(), text.size(), &utf8);
    push_lstring(L, utf8.data(), utf8.size());
  }
  return 1;
}

int lines_step(VmState* L) {
  // The upvalue is the file object this library made; its type needs no check.
  auto* d = static_cast<FileData*>(to_cdata(L, upvalue_index(1)));
  if (d->stream == nullptr) library_error(L, "file is already closed");
  clear_marks(d->stream);
  ReadResult r = push_line(L, d->stream);
  if (r.pushed) return 1;
  if (r.error != 0) library_error(L, "%s", std::strerror(r.error));
  if (to_boolean(L, upvalue_index(2))) release_file(d);
  return 0;
}

int file_lines(VmState* L) {
  check_file(L, 1);
  ensure_stack(L, 3);
  push_value(L, 1);
  push_boolean(L, false);
  push_closure(L, lines_step, 2);
  return 1;
}

}  // namespace quevro
