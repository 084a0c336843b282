#include "lib/io_library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/app_paths.h"
#include "runtime/library_registry.h"
#include "runtime/modules.h"
#include "lib/base_library.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/calls.h"
#include "vm/cdata.h"

namespace quevro {

namespace {

constexpr int ARG1 = 2;
constexpr int ARG2 = 3;
constexpr const char* LIBRARY = "io";
constexpr const char* FILE_TYPE = "file";

// A file object's data: the stream, null once closed.
struct FileData {
  std::FILE* stream;
};

FileData* file_data(VmState* L, int idx) {
  return static_cast<FileData*>(check_object(L, idx, LIBRARY, FILE_TYPE));
}

std::FILE* open_stream(VmState* L, int idx) { return file_data(L, idx)->stream; }

bool is_standard(std::FILE* f) { return f == stdin || f == stdout || f == stderr; }

void push_file(VmState* L, std::FILE* stream) {
  auto* data = static_cast<FileData*>(new_cdata(L, sizeof(FileData)));
  data->stream = stream;
  registry_subtable(L, LIBRARY);
  raw_get_field(L, -1, FILE_TYPE);
  remove(L, -2);
  set_metatable(L, -2);
}

int push_system_error(VmState* L, const char* path) {
  int err = errno;
  push_null(L);
  push_fstring(L, "\n{File}:%s\n{Error}:%s", path, std::strerror(err));
  return 2;
}

// The open mode: 'r', 'w' or 'a' first, then '+', 'b', 't' and hints; ',' ends the scan.
std::string check_mode(VmState* L, int idx) {
  const char* mode = opt_lstring(L, idx, "r", nullptr);
  if (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a') arg_error(L, idx, "Invalid file open mode(first character)");
  std::string out(1, mode[0]);
  for (const char* p = mode + 1; *p && *p != ','; ++p) {
    switch (*p) {
      case '+': out += '+'; break;
      case 'b': case 't': case 'c': case 'n': case 'D': case 'N': case 'R': case 'S': case 'T': break;
      case 'r': case 'w': case 'a': arg_error(L, idx, " 'r','w','a' must be first mode character");
      default: arg_error(L, idx, "Invalid file open mode ");
    }
  }
  return out;
}

int io_open(VmState* L) {
  if (get_top(L) < ARG1) {
    push_boolean(L, isatty(STDOUT_FILENO) != 0);  // the console is whatever terminal we have
    return 1;
  }
  size_t len;
  const char* raw_path = check_lstring(L, ARG1, &len);
  std::string mode = check_mode(L, ARG2);
  std::string path = resolve_against_root(L, std::string(raw_path, len));
  std::FILE* f = std::fopen(path.c_str(), mode.c_str());
  if (f == nullptr && len > 1 && raw_path[0] == '~') {
    path = resolve_against_root(L, std::string(raw_path + 1, len - 1));
    f = std::fopen(path.c_str(), mode.c_str());
  }
  if (f == nullptr) return push_system_error(L, raw_path);
  push_file(L, f);
  return 1;
}

int file_close(VmState* L) {
  FileData* d = file_data(L, 1);
  if (!is_standard(d->stream)) std::fclose(d->stream);
  d->stream = nullptr;
  return 0;
}

int io_close(VmState* L) {
  if (get_top(L) < ARG1) return 0;  // no console window to hide here
  FileData* d = file_data(L, ARG1);
  if (!is_standard(d->stream)) std::fclose(d->stream);
  d->stream = nullptr;
  return 0;
}

int file_gc(VmState* L) {
  auto* d = static_cast<FileData*>(to_cdata(L, 1));
  if (d && d->stream && !is_standard(d->stream)) std::fclose(d->stream);
  if (d) d->stream = nullptr;
  return 0;
}

int file_tostring(VmState* L) {
  auto* d = static_cast<FileData*>(to_cdata(L, 1));
  if (d && d->stream)
    push_fstring(L, "io.file(%p)", static_cast<const void*>(d->stream));
  else
    push_string(L, "io.file(closed)");
  return 1;
}

bool read_line(std::FILE* f, std::string* out) {
  out->clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    out->push_back(static_cast<char>(c));
  }
  if (!out->empty() && out->back() == '\r') out->pop_back();
  return any;
}

// read(formats...): a line by default, n bytes for a number, "%d" a number, "%s" a line.
int file_read(VmState* L) {
  std::FILE* f = open_stream(L, 1);
  int n = get_top(L);
  if (n < ARG1) {
    std::string line;
    if (!read_line(f, &line)) return 0;
    push_lstring(L, line.data(), line.size());
    return 1;
  }
  int results = 0;
  for (int i = ARG1; i <= n; ++i) {
    ensure_stack(L, 1);
    if (type_of(L, i) == TAG_NUMBER) {
      size_t count = static_cast<size_t>(to_number(L, i) > 0 ? to_number(L, i) : 0);
      std::string buf(count, '\0');
      size_t got = std::fread(buf.data(), 1, count, f);
      if (got == 0 && count > 0) return results;
      push_lstring(L, buf.data(), got);
    } else {
      size_t len;
      const char* fmt = check_lstring(L, i, &len);
      if (fmt[0] != '%') arg_error(L, i, "invalid option");
      if (fmt[1] == 'd') {
        double v;
        if (std::fscanf(f, "%lf", &v) != 1) return results;
        push_number(L, v);
      } else if (fmt[1] == 's') {
        std::string line;
        if (!read_line(f, &line)) return results;
        push_lstring(L, line.data(), line.size());
      } else {
        arg_error(L, i, "invalid format");
      }
    }
    ++results;
  }
  return results;
}

int file_read_all(VmState* L) {
  std::FILE* f = open_stream(L, 1);
  std::fseek(f, 0, SEEK_SET);
  std::string content;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
  push_lstring(L, content.data(), content.size());
  return 1;
}

int file_read_to(VmState* L) {
  std::FILE* f = open_stream(L, 1);
  int stop = opt_integer(L, ARG1, 0);
  std::string out;
  int c;
  bool any = false;
  while ((c = std::fgetc(f)) != EOF) {
    any = true;
    if (c == stop) break;
    out.push_back(static_cast<char>(c));
  }
  if (!any) return 0;
  push_lstring(L, out.data(), out.size());
  return 1;
}

int file_write(VmState* L) {
  std::FILE* f = open_stream(L, 1);
  int n = get_top(L);
  for (int i = ARG1; i <= n; ++i) {
    size_t len;
    const char* s = to_lstring(L, i, &len);
    if (s == nullptr) type_arg_error(L, i, "string");
    if (std::fwrite(s, 1, len, f) != len) return push_system_error(L, "");
  }
  push_value(L, 1);
  return 1;
}

int file_seek(VmState* L) {
  std::FILE* f = open_stream(L, 1);
  const char* whence = opt_lstring(L, ARG1, "cur", nullptr);
  int mode = std::strcmp(whence, "set") == 0 ? SEEK_SET : std::strcmp(whence, "end") == 0 ? SEEK_END : SEEK_CUR;
  if (mode == SEEK_CUR && std::strcmp(whence, "cur") != 0) arg_error(L, ARG1, "invalid option");
  auto offset = static_cast<off_t>(opt_number(L, ARG2, 0));
  if (fseeko(f, offset, mode) != 0) {
    int err = errno;
    push_null(L);
    push_string(L, std::strerror(err));
    push_number(L, err);
    return 3;
  }
  push_number(L, static_cast<double>(ftello(f)));
  return 1;
}

int file_size(VmState* L) {
  std::FILE* f = open_stream(L, 1);
  off_t at = ftello(f);
  fseeko(f, 0, SEEK_END);
  off_t size = ftello(f);
  fseeko(f, at, SEEK_SET);
  push_number(L, static_cast<double>(size));
  return 1;
}

int file_flush(VmState* L) {
  if (std::fflush(open_stream(L, 1)) != 0) {
    int err = errno;
    push_null(L);
    push_string(L, std::strerror(err));
    push_number(L, err);
    return 3;
  }
  push_boolean(L, true);
  return 1;
}

int file_setvbuf(VmState* L) {
  std::FILE* f = open_stream(L, 1);
  const char* mode = opt_lstring(L, ARG1, "full", nullptr);
  int size = opt_integer(L, ARG2, 1024);
  if (size < 2) return 0;
  int m = std::strcmp(mode, "no") == 0 ? _IONBF : std::strcmp(mode, "line") == 0 ? _IOLBF : _IOFBF;
  push_boolean(L, std::setvbuf(f, nullptr, m, static_cast<size_t>(size)) == 0);
  return 1;
}

// The line iterator of file.lines(): reads with the file kept as its upvalue.
int lines_step(VmState* L) {
  auto* d = static_cast<FileData*>(to_cdata(L, upvalue_index(1)));
  if (d == nullptr || d->stream == nullptr) return 0;
  std::string line;
  if (!read_line(d->stream, &line)) {
    if (to_boolean(L, upvalue_index(2))) {
      std::fclose(d->stream);
      d->stream = nullptr;
    }
    return 0;
  }
  push_lstring(L, line.data(), line.size());
  return 1;
}

int file_lines(VmState* L) {
  open_stream(L, 1);
  push_value(L, 1);
  push_boolean(L, false);
  push_closure(L, lines_step, 2);
  return 1;
}

int io_lines(VmState* L) {
  size_t len;
  const char* raw = check_lstring(L, ARG1, &len);
  std::string path = resolve_against_root(L, std::string(raw, len));
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) library_error(L, "\n{File}:%s\n{Error}:%s", raw, std::strerror(errno));
  push_file(L, f);
  push_boolean(L, true);  // the iterator closes the file at its end
  push_closure(L, lines_step, 2);
  return 1;
}

// print(values...): each through the global tostring, tab-separated, ending with a line feed.
int io_print(VmState* L) {
  int n = get_top(L);
  ensure_stack(L, 4);
  for (int i = ARG1; i <= n; ++i) {
    push_string(L, "tostring");
    raw_get(L, GLOBALS_INDEX);
    push_null(L);
    push_value(L, i);
    call(L, 2, 1);
    size_t len;
    const char* s = type_of(L, -1) == TAG_STRING ? to_lstring(L, -1, &len) : nullptr;
    if (s == nullptr) library_error(L, "'tostring' must return a string to 'io.print'");
    if (i > ARG1) std::fputc('\t', stdout);
    std::fwrite(s, 1, len, stdout);
    L->top--;
  }
  std::fputc('\n', stdout);
  return 0;
}

std::string checked_path(VmState* L, int idx) {
  size_t len;
  const char* raw = check_lstring(L, idx, &len);
  if (len == 0) library_error(L, "Invalid path");
  return resolve_against_root(L, std::string(raw, len));
}

int push_result(VmState* L, int rc) {
  if (rc == 0) {
    push_boolean(L, true);
    return 1;
  }
  int err = errno;
  push_null(L);
  push_string(L, std::strerror(err));
  push_number(L, err);
  return 3;
}

int io_remove(VmState* L) { return push_result(L, std::remove(checked_path(L, ARG1).c_str())); }

int io_rename(VmState* L) {
  std::string from = checked_path(L, ARG1);
  std::string to = checked_path(L, ARG2);
  return push_result(L, std::rename(from.c_str(), to.c_str()));
}

int io_tmpname(VmState* L) {
  std::string prefix = opt_lstring(L, ARG1, "quevro", nullptr);
  std::string templ = "/tmp/" + prefix + "XXXXXX";
  int fd = mkstemp(templ.data());
  if (fd < 0) return push_result(L, -1);
  close(fd);
  push_lstring(L, templ.data(), templ.size());
  return 1;
}

int io_fullpath(VmState* L) {
  std::string p = checked_path(L, ARG1);
  push_lstring(L, p.data(), p.size());
  return 1;
}

int io_localpath(VmState* L) {
  size_t len;
  const char* raw = check_lstring(L, ARG1, &len);
  if (len == 0 || (raw[0] != '/' && raw[0] != '\\' && raw[0] != '~') || (len > 1 && raw[0] == raw[1])) return 0;
  std::string p = resolve_against_root(L, std::string(raw, len));
  push_lstring(L, p.data(), p.size());
  return 1;
}

int io_libpath(VmState* L) {
  size_t len;
  const char* name = check_lstring(L, ARG1, &len);
  std::string p = find_module_file(L, std::string(name, len));
  if (p.empty()) return 0;
  push_lstring(L, p.data(), p.size());
  return 1;
}

int io_exist(VmState* L) {
  std::string p = checked_path(L, ARG1);
  struct stat st;
  if (stat(p.c_str(), &st) != 0) return 0;
  if (!is_none_or_null(L, ARG2)) {
    if (S_ISDIR(st.st_mode)) return 0;
    int mode = check_integer(L, ARG2);
    if (access(p.c_str(), (mode & 2) ? (R_OK | W_OK) : R_OK) != 0) return 0;
  }
  push_lstring(L, p.data(), p.size());
  return 1;
}

// joinpath(parts...): exactly one separator between two parts.
std::string join_parts(VmState* L, int first) {
  std::string out;
  int n = get_top(L);
  for (int i = first; i <= n; ++i) {
    size_t len;
    const char* s = to_lstring(L, i, &len);
    if (s == nullptr) continue;
    std::string part(s, len);
    if (out.empty()) {
      out = part;
      continue;
    }
    bool left = out.back() == '/' || out.back() == '\\';
    bool right = !part.empty() && (part[0] == '/' || part[0] == '\\');
    if (left && right)
      out += part.substr(1);
    else if (!left && !right)
      out += "/" + part;
    else
      out += part;
  }
  return out;
}

int io_joinpath(VmState* L) {
  std::string p = join_parts(L, ARG1);
  push_lstring(L, p.data(), p.size());
  return 1;
}

int io_create_dir(VmState* L) {
  std::string joined = join_parts(L, ARG1);
  if (joined.empty()) return 0;
  std::string path = resolve_against_root(L, joined);
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string prefix = path.substr(0, i);
      if (!directory_exists(prefix) && mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return 0;
    }
  }
  push_lstring(L, path.data(), path.size());
  return 1;
}

const LibraryFunction IO_FUNCTIONS[] = {
    {"open", io_open},         {"close", io_close},     {"print", io_print},       {"lines", io_lines},
    {"remove", io_remove},     {"rename", io_rename},   {"tmpname", io_tmpname},   {"fullpath", io_fullpath},
    {"localpath", io_localpath}, {"libpath", io_libpath}, {"exist", io_exist},    {"joinpath", io_joinpath},
    {"createDir", io_create_dir}, {nullptr, nullptr},
};

const LibraryFunction FILE_METHODS[] = {
    {"read", file_read},   {"readLine", file_read}, {"readAll", file_read_all}, {"readTo", file_read_to},
    {"write", file_write}, {"seek", file_seek},     {"size", file_size},        {"flush", file_flush},
    {"setvbuf", file_setvbuf}, {"lines", file_lines}, {"close", file_close},   {nullptr, nullptr},
};

void set_string_field(VmState* L, int table, const char* key, const std::string& value) {
  push_string(L, key);
  push_lstring(L, value.data(), value.size());
  raw_set(L, table < 0 ? table - 2 : table);
}

}  // namespace

void open_io_library(VmState* L) {
  ensure_stack(L, 8);
  // The file type: its metatable serves the methods through `_get`.
  registry_subtable(L, LIBRARY);
  new_table(L, 0, 4);
  push_string(L, "_type");
  push_string(L, "io.file");
  raw_set(L, -3);
  push_string(L, "_get");
  new_table(L, 0, 16);
  for (const LibraryFunction* f = FILE_METHODS; f->name; ++f) {
    push_string(L, f->name);
    push_function(L, f->fn);
    raw_set(L, -3);
  }
  raw_set(L, -3);
  push_string(L, "_tostring");
  push_function(L, file_tostring);
  raw_set(L, -3);
  push_string(L, "_gc");
  push_function(L, file_gc);
  raw_set(L, -3);
  push_string(L, FILE_TYPE);
  insert(L, -2);
  raw_set(L, -3);
  L->top--;

  register_library(L, "io", IO_FUNCTIONS);
  int io = get_top(L);
  const char* names[] = {"stdin", "stdout", "stderr"};
  std::FILE* streams[] = {stdin, stdout, stderr};
  for (int i = 0; i < 3; ++i) {
    push_string(L, names[i]);
    push_file(L, streams[i]);
    raw_set(L, io);
  }
  std::string dir = application_directory();
  set_string_field(L, io, "_exepath", dir + "/" + executable_name());
  set_string_field(L, io, "_exedir", dir + "/");
  set_string_field(L, io, "_exefile", executable_name());
  L->top--;
}

}  // namespace quevro
