#include "lib/io_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "runtime/app_paths.h"
#include "runtime/library_registry.h"
#include "lib/library_support.h"
#include "lib/size64.h"

namespace quevro {

namespace {

// Win32 file types, the numbers `type` answers with.
constexpr int FILE_TYPE_UNKNOWN = 0;
constexpr int FILE_TYPE_DISK = 1;
constexpr int FILE_TYPE_CHAR = 2;
constexpr int FILE_TYPE_PIPE = 3;

bool equals_ignoring_case(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The options after ',' in an open mode: only an encoding ("ccs=UTF-8", "ccs=UTF-16LE",
// "ccs=UNICODE") is known; it selects the matching Unicode text mode.
int apply_mode_options(const char* p, size_t len, OpenMode* out) {
  std::string options(p, len);
  size_t first = options.find_first_not_of(' ');
  size_t last = options.find_last_not_of(' ');
  options = first == std::string::npos ? std::string() : options.substr(first, last - first + 1);
  if (options.size() < 4 || strncasecmp(options.c_str(), "ccs=", 4) != 0) return EINVAL;
  std::string encoding = options.substr(4);
  if (equals_ignoring_case(encoding, "UTF-8"))
    out->translation = UTF8_TEXT_MODE;
  else if (equals_ignoring_case(encoding, "UTF-16LE"))
    out->translation = UTF16_TEXT_MODE;
  else if (equals_ignoring_case(encoding, "UNICODE"))
    out->translation = WIDE_TEXT_MODE;
  else
    return EINVAL;
  return 0;
}

// The registered metatable of the file type, pushed.
void push_file_metatable(VmState* L) {
  registry_subtable(L, IO_LIBRARY);
  raw_get_field(L, -1, FILE_TYPE);
  remove(L, -2);
}

// The file object at idx without raising: null for any other value.
FileData* to_file(VmState* L, int idx) {
  if (type_of(L, idx) != TAG_CDATA || !get_metatable(L, idx)) return nullptr;
  ensure_stack(L, 2);
  push_file_metatable(L);
  bool same = raw_equal(L, -1, -2);
  pop(L, 2);
  return same ? static_cast<FileData*>(to_cdata(L, idx)) : nullptr;
}

int exit_status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return wait_status;
}

// Removes the file opened with 'D' (its stream is closed, or is a standard stream that stays).
void delete_temporary(FileData* d) {
  if (d->delete_on_close == nullptr) return;
  unlink(d->delete_on_close);
  std::free(d->delete_on_close);
  d->delete_on_close = nullptr;
}

void remember_for_deletion(FileData* d, const OpenMode& mode, const std::string& path) {
  delete_temporary(d);
  d->delete_on_close = mode.temporary && !path.empty() ? strdup(path.c_str()) : nullptr;
}

int file_close(VmState* L) { return close_file_at(L, 1); }

int file_gc(VmState* L) {
  FileData* d = to_file(L, 1);
  if (d == nullptr) return 0;
  if (d->stream && !is_standard_stream(d->stream)) release_file(d);
  delete_temporary(d);
  return 0;
}

int file_tostring(VmState* L) {
  FileData* d = to_file(L, 1);
  if (d == nullptr) type_arg_error(L, 1, "io.file");
  if (d->stream)
    push_fstring(L, "io.file(%p)", static_cast<const void*>(d->stream));
  else
    push_string(L, "io.file(closed)");
  return 1;
}

int file_topointer(VmState* L) {
  push_pointer(L, check_stream(L, 1));
  return 1;
}

// reopen(path, mode): the file object goes on over another file. The new file is opened first,
// so a failure leaves the old one as it was; a standard stream keeps its identity (the process's
// standard output stays the same stream, now writing to the new file).
int file_reopen(VmState* L) {
  FileData* d = check_file(L, 1);
  size_t len;
  const char* raw = check_lstring(L, ARG1, &len);
  OpenMode mode = check_open_mode(L, ARG2);
  // What is still buffered belongs to the old file (which may be the one about to be truncated).
  if (std::fflush(d->stream) != 0) return push_failure(L, errno);
  std::string path;
  std::FILE* fresh = open_app_file(L, raw, len, mode, &path);
  if (fresh == nullptr) return push_open_failure(L, raw, len, errno);
  if (is_standard_stream(d->stream)) {
    std::fclose(fresh);
    if (std::freopen(path.c_str(), mode.stdio.c_str(), d->stream) == nullptr) {
      int err = errno;
      d->stream = nullptr;
      return push_open_failure(L, raw, len, err);
    }
  } else {
    release_file(d);
    d->stream = fresh;
  }
  d->translation = mode.translation;
  remember_for_deletion(d, mode, path);
  push_value(L, 1);
  return 1;
}

// seek(whence, offset): the offset may be a number or a math.size64 value (taken as signed).
int file_seek(VmState* L) {
  std::FILE* f = check_stream(L, 1);
  size_t len;
  const char* whence = opt_lstring(L, ARG1, "cur", &len);
  std::string w(whence, len);
  int origin = w == "set" ? SEEK_SET : w == "end" ? SEEK_END : SEEK_CUR;
  if (origin == SEEK_CUR && w != "cur") arg_error(L, ARG1, "invalid option");
  uint64_t exact;
  int64_t offset = is_size64(L, ARG2) && to_size64(L, ARG2, &exact) ? static_cast<int64_t>(exact) : opt_int64(L, ARG2, 0);
  if (fseeko(f, static_cast<off_t>(offset), origin) != 0) return push_failure(L, errno);
  off_t at = ftello(f);
  if (at < 0) return push_failure(L, errno);
  push_number(L, static_cast<double>(at));
  return 1;
}

// The size in bytes, buffered writes included; the position is restored. False with errno on
// streams that cannot seek.
bool stream_size(std::FILE* f, off_t* size) {
  off_t at = ftello(f);
  if (at < 0 || fseeko(f, 0, SEEK_END) != 0) return false;
  *size = ftello(f);
  return fseeko(f, at, SEEK_SET) == 0 && *size >= 0;
}

int file_size(VmState* L) {
  off_t size;
  if (!stream_size(check_stream(L, 1), &size)) return push_failure(L, errno);
  push_number(L, static_cast<double>(size));
  return 1;
}

int file_size64(VmState* L) {
  off_t size;
  if (!stream_size(check_stream(L, 1), &size)) return push_failure(L, errno);
  push_size64(L, static_cast<uint64_t>(size));
  return 1;
}

int file_flush(VmState* L) {
  if (std::fflush(check_stream(L, 1)) != 0) return push_failure(L, errno);
  push_boolean(L, true);
  return 1;
}

// setvbuf(mode, size): the C library chooses the buffer's size itself; the size only keeps its
// rule that a size below 2 changes nothing.
int file_setvbuf(VmState* L) {
  std::FILE* f = check_stream(L, 1);
  size_t len;
  const char* m = opt_lstring(L, ARG1, "full", &len);
  std::string name(m, len);
  int mode = name == "no" ? _IONBF : name == "line" ? _IOLBF : _IOFBF;
  if (mode == _IOFBF && name != "full") arg_error(L, ARG1, "invalid option");
  int size = opt_integer(L, ARG2, 1024);
  if (size < 2) return 0;
  if (std::setvbuf(f, nullptr, mode, static_cast<size_t>(size)) != 0) return push_failure(L, errno);
  push_boolean(L, true);
  return 1;
}

// seteof(): the file ends at the current position.
int file_seteof(VmState* L) {
  std::FILE* f = check_stream(L, 1);
  off_t at = ftello(f);
  bool ok = at >= 0 && std::fflush(f) == 0 && ftruncate(fileno(f), at) == 0;
  push_boolean(L, ok);
  return 1;
}

// mode(new mode): the translation mode; a new one replaces it and the previous one is returned.
// Here the mode decides whether binary values may be written; bytes are never translated.
int file_mode(VmState* L) {
  FileData* d = check_file(L, 1);
  uint32_t previous = d->translation;
  if (!is_none_or_null(L, ARG1)) {
    double m = check_number(L, ARG1);
    if (!is_translation_mode(m)) arg_error(L, ARG1, "Invalid mode");
    d->translation = static_cast<uint32_t>(m);
  }
  push_number(L, previous);
  return 1;
}

// type(): the kind of the underlying descriptor, numbered as Win32 file types: 1 a disk file
// (regular files and block devices), 2 a character device (terminals, /dev/null), 3 a pipe or a
// socket, 0 anything else.
int file_type(VmState* L) {
  std::FILE* f = check_stream(L, 1);
  struct stat st;
  int kind = FILE_TYPE_UNKNOWN;
  if (fstat(fileno(f), &st) == 0) {
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
      kind = FILE_TYPE_DISK;
    else if (S_ISCHR(st.st_mode))
      kind = FILE_TYPE_CHAR;
    else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
      kind = FILE_TYPE_PIPE;
  }
  push_number(L, kind);
  return 1;
}

const LibraryFunction FILE_METHODS[] = {
    {"read", file_read},           {"readLine", file_read},         {"readAll", file_read_all},
    {"readTo", file_read_to},      {"readback", file_readback},     {"readBuffer", file_read_buffer},
    {"readUnicode", file_read_unicode}, {"readUtf16", file_read_unicode}, {"lines", file_lines},
    {"write", file_write},         {"writeBuffer", file_write_buffer}, {"seek", file_seek},
    {"size", file_size},           {"size64", file_size64},         {"setvbuf", file_setvbuf},
    {"flush", file_flush},         {"close", file_close},           {"reopen", file_reopen},
    {"seteof", file_seteof},       {"mode", file_mode},             {"type", file_type},
    {"_topointer", file_topointer}, {"_gc", file_gc},               {"_tostring", file_tostring},
    {nullptr, nullptr},
};

void set_function_field(VmState* L, const char* name, NativeFn fn) {
  push_string(L, name);
  push_function(L, fn);
  raw_set(L, -3);
}

}  // namespace

OpenMode check_open_mode(VmState* L, int idx) {
  size_t len;
  const char* m = opt_lstring(L, idx, "r", &len);
  if (len == 0 || (m[0] != 'r' && m[0] != 'w' && m[0] != 'a')) arg_error(L, idx, "Invalid file open mode(first character)");
  OpenMode out;
  out.stdio.assign(1, m[0]);
  bool update = false;
  bool no_inherit = false;
  for (size_t i = 1; i < len; ++i) {
    char c = m[i];
    if (c == ',') {
      out.encoding_error = apply_mode_options(m + i + 1, len - i - 1, &out);
      break;
    }
    switch (c) {
      case '+': update = true; break;
      case 'b': out.translation = BINARY_MODE; break;
      case 't': out.translation = TEXT_MODE; break;
      case 'c': case 'n': case 'T': break;  // commit and short-lived hints: nothing to do here
      case 'D': out.temporary = true; break;
      case 'N': no_inherit = true; break;
      case 'R': out.random = true; break;
      case 'S': out.sequential = true; break;
      case 'r': case 'w': case 'a': arg_error(L, idx, " 'r','w','a' must be first mode character");
      default: arg_error(L, idx, "Invalid file open mode ");
    }
  }
  if (update) out.stdio += '+';
  if (no_inherit) out.stdio += 'e';
  return out;
}

std::FILE* open_stream(const std::string& path, const OpenMode& mode) {
  if (mode.encoding_error != 0 || path.find('\0') != std::string::npos) {
    errno = mode.encoding_error != 0 ? mode.encoding_error : EINVAL;
    return nullptr;
  }
  std::FILE* f = std::fopen(path.c_str(), mode.stdio.c_str());
  if (f == nullptr) return nullptr;
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    errno = EISDIR;
    return nullptr;
  }
  if (mode.random) posix_fadvise(fileno(f), 0, 0, POSIX_FADV_RANDOM);
  if (mode.sequential) posix_fadvise(fileno(f), 0, 0, POSIX_FADV_SEQUENTIAL);
  return f;
}

std::FILE* open_app_file(VmState* L, const char* raw, size_t len, const OpenMode& mode, std::string* path) {
  *path = resolve_against_root(L, std::string(raw, len));
  std::FILE* f = open_stream(*path, mode);
  if (f == nullptr && len > 1 && raw[0] == '~') {
    *path = resolve_against_root(L, std::string(raw + 1, len - 1));
    f = open_stream(*path, mode);
  }
  return f;
}

FileData* push_closed_file(VmState* L) {
  ensure_stack(L, 3);
  auto* d = static_cast<FileData*>(new_cdata(L, sizeof(FileData)));
  d->stream = nullptr;
  d->translation = TEXT_MODE;
  d->is_pipe = false;
  d->delete_on_close = nullptr;
  push_file_metatable(L);
  set_metatable(L, -2);
  return d;
}

void attach_stream(FileData* d, std::FILE* stream, const OpenMode& mode, const std::string& path) {
  d->stream = stream;
  d->translation = mode.translation;
  remember_for_deletion(d, mode, path);
}

void push_standard_file(VmState* L, std::FILE* stream, const char* name) {
  push_closed_file(L)->stream = stream;
  ensure_stack(L, 3);
  registry_subtable(L, IO_LIBRARY);
  push_string(L, name);
  push_value(L, -3);
  raw_set(L, -3);
  pop(L, 1);
}

std::FILE* standard_stream(VmState* L, const char* name, const char* role) {
  ensure_stack(L, 2);
  registry_subtable(L, IO_LIBRARY);
  raw_get_field(L, -1, name);
  auto* d = static_cast<FileData*>(to_cdata(L, -1));
  pop(L, 2);
  // The registry keeps the object alive; its stream, once set, is never freed (standard streams
  // stay open for the process).
  if (d == nullptr || d->stream == nullptr) library_error(L, "standard %s file is closed", role);
  return d->stream;
}

FileData* check_file(VmState* L, int idx) { return static_cast<FileData*>(check_object(L, idx, IO_LIBRARY, FILE_TYPE)); }

bool is_standard_stream(const std::FILE* f) { return f == stdin || f == stdout || f == stderr; }

int release_file(FileData* d, int* exit_status) {
  std::FILE* f = d->stream;
  if (f == nullptr) return 0;
  d->stream = nullptr;
  int err = 0;
  if (is_standard_stream(f)) {
    if (std::fflush(f) != 0) err = errno;
  } else if (d->is_pipe) {
    int status = pclose(f);
    if (status == -1)
      err = errno;
    else if (exit_status)
      *exit_status = exit_status_of(status);
  } else if (std::fclose(f) != 0) {
    err = errno;
  }
  d->is_pipe = false;
  delete_temporary(d);
  return err;
}

int close_file_at(VmState* L, int idx) {
  FileData* d = check_file(L, idx);
  bool pipe = d->is_pipe;
  int status = 0;
  int err = release_file(d, &status);
  if (err != 0) return push_failure(L, err);
  if (pipe && status != 0) {
    push_boolean(L, false);
    push_number(L, status);
    return 2;
  }
  push_boolean(L, true);
  return 1;
}

int push_failure(VmState* L, int err) {
  push_null(L);
  push_string(L, std::strerror(err));
  push_number(L, err);
  return 3;
}

std::string open_failure_text(const char* shown_path, size_t len, int err) {
  return format_message("\n{File}:%s\n{Error}:%s", std::string(shown_path, len).c_str(), std::strerror(err));
}

int push_open_failure(VmState* L, const char* shown_path, size_t len, int err) {
  push_null(L);
  std::string text = open_failure_text(shown_path, len, err);
  push_lstring(L, text.data(), text.size());
  return 2;
}

void register_file_type(VmState* L) {
  static const LibraryFunction handlers[] = {
      {"_tostring", file_tostring}, {"_gc", file_gc}, {"_topointer", file_topointer}, {nullptr, nullptr}};
  register_object_type(L, IO_LIBRARY, FILE_TYPE, handlers);
  new_table(L, 0, 32);
  for (const LibraryFunction* m = FILE_METHODS; m->name; ++m) set_function_field(L, m->name, m->fn);
  raw_set_field(L, -2, "_get");
  pop(L, 1);
}

}  // namespace quevro
