#include "lib/io_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/app_paths.h"
#include "runtime/library_registry.h"
#include "runtime/modules.h"
#include "lib/base_library.h"
#include "lib/io_console.h"
#include "lib/io_file.h"
#include "lib/io_path_info.h"
#include "lib/library_support.h"
#include "lib/string_encoding.h"
#include "vm/api.h"
#include "vm/arguments.h"
#include "vm/calls.h"
#include "vm/cdata.h"

namespace quevro {

namespace {

// The share flag of open: files here are always shared, so the flag is only checked.
constexpr int DENY_NONE = 64;

// A file over a descriptor, which a pointer value holds as an operating-system handle. The file
// owns the descriptor from then on.
int open_descriptor(VmState* L, void* handle, const OpenMode& mode) {
  auto descriptor = reinterpret_cast<uintptr_t>(handle);
  std::string shown = format_message("%p", handle);
  if (descriptor > INT_MAX) return push_open_failure(L, shown.data(), shown.size(), EBADF);
  if (mode.encoding_error != 0) return push_open_failure(L, shown.data(), shown.size(), mode.encoding_error);
  FileData* d = push_closed_file(L);
  std::FILE* f = fdopen(static_cast<int>(descriptor), mode.stdio.c_str());
  if (f == nullptr) return push_open_failure(L, shown.data(), shown.size(), errno);
  attach_stream(d, f, mode, std::string());
  return 1;
}

// open(path or descriptor, mode, share flag); open() answers whether there is a console.
int io_open(VmState* L) {
  if (get_top(L) < ARG1) {
    push_boolean(L, console_available());
    return 1;
  }
  const Value* target = stack_address(L, ARG1);
  if (target->tag == TAG_POINTER) {
    OpenMode mode = check_open_mode(L, ARG2);
    opt_integer(L, ARG3, DENY_NONE);
    return open_descriptor(L, target->u.p, mode);
  }
  size_t len;
  const char* raw = check_lstring(L, ARG1, &len);
  OpenMode mode = check_open_mode(L, ARG2);
  opt_integer(L, ARG3, DENY_NONE);
  FileData* d = push_closed_file(L);
  std::string path;
  std::FILE* f = open_app_file(L, raw, len, mode, &path);
  if (f == nullptr) return push_open_failure(L, raw, len, errno);
  attach_stream(d, f, mode, path);
  return 1;
}

// close(file); close() has no console window to hide here.
int io_close(VmState* L) {
  if (get_top(L) < ARG1) return 0;
  return close_file_at(L, ARG1);
}

// popen(command, mode): a file over a pipe to or from the command run by the shell.
int io_popen(VmState* L) {
  size_t len;
  const char* command = type_of(L, ARG1) == TAG_STRING ? to_lstring(L, ARG1, &len) : nullptr;
  if (command == nullptr || len == 0 || std::memchr(command, '\0', len) != nullptr) arg_error(L, ARG1, "Invalid path");
  OpenMode mode = check_open_mode(L, ARG2);
  if (mode.stdio[0] == 'a' || mode.stdio.find('+') != std::string::npos)
    return push_open_failure(L, command, len, EINVAL);  // a pipe goes one way
  FileData* d = push_closed_file(L);
  // What the script wrote so far comes before anything the command writes.
  std::fflush(stdout);
  std::FILE* pipe = popen(command, mode.stdio[0] == 'r' ? "re" : "we");
  if (pipe == nullptr) return push_open_failure(L, command, len, errno);
  attach_stream(d, pipe, mode, std::string());
  d->is_pipe = true;
  return 1;
}

// lines(path): the iterator closes the file when it reaches the end.
int io_lines(VmState* L) {
  size_t len;
  const char* raw = check_lstring(L, ARG1, &len);
  OpenMode mode;
  mode.stdio = "r";
  FileData* d = push_closed_file(L);
  std::string path;
  std::FILE* f = open_app_file(L, raw, len, mode, &path);
  if (f == nullptr) library_error_text(L, open_failure_text(raw, len, errno));
  attach_stream(d, f, mode, path);
  push_boolean(L, true);
  push_closure(L, lines_step, 2);
  return 1;
}

// print(values...): each through the global tostring, tab-separated, ending with a line feed.
int io_print(VmState* L) {
  // A tostring that closes io.stdout meanwhile does not stop this print: the process's stream
  // itself stays open.
  std::FILE* out = standard_stream(L, "stdout", "output");
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
    if (i > ARG1) std::fputc('\t', out);
    std::fwrite(s, 1, len, out);
    L->top--;
  }
  std::fputc('\n', out);
  return 0;
}

std::string checked_path(VmState* L, int idx) {
  size_t len;
  const char* raw = check_lstring(L, idx, &len);
  if (len == 0 || std::memchr(raw, '\0', len) != nullptr) library_error(L, "Invalid path");
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

// tmpname(prefix): a new file in the temporary folder ($TMPDIR, else /tmp), made empty so that no
// one else takes the name. The name comes in the "//folder/name" form, which names that path
// even where a folder called like the temporary one stands beside the application or the script.
int io_tmpname(VmState* L) {
  std::string prefix = opt_lstring(L, ARG1, "quevro", nullptr);
  const char* env = std::getenv("TMPDIR");
  std::string folder = env && env[0] == '/' ? env : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string templ = folder + "/" + prefix + "XXXXXX";
  int fd = mkstemp(templ.data());
  if (fd < 0) return push_result(L, -1);
  close(fd);
  templ.insert(0, "/");
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
    // Whether the file would open for reading, or for update with bit 2: the effective ids
    // decide, as they decide an open.
    if (faccessat(AT_FDCWD, p.c_str(), (mode & 2) ? (R_OK | W_OK) : R_OK, AT_EACCESS) != 0) return 0;
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
    const char* s = check_text(L, i, &len);
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
  // A file already standing where the folder should be is no success.
  if (!directory_exists(path)) return 0;
  push_lstring(L, path.data(), path.size());
  return 1;
}

const LibraryFunction IO_FUNCTIONS[] = {
    {"open", io_open},         {"close", io_close},     {"popen", io_popen},       {"lines", io_lines},
    {"remove", io_remove},     {"rename", io_rename},   {"tmpname", io_tmpname},   {"fullpath", io_fullpath},
    {"localpath", io_localpath}, {"libpath", io_libpath}, {"exist", io_exist},    {"joinpath", io_joinpath},
    {"splitpath", io_splitpath}, {"createDir", io_create_dir}, {"print", io_print},   {"getText", io_get_text},
    {nullptr, nullptr},
};

// The namespace of the io.file class: whole files read and written at once, and closing.
const LibraryFunction FILE_CLASS_FUNCTIONS[] = {
    {"read", str_load}, {"write", str_save}, {"_close", io_close}, {nullptr, nullptr},
};

void set_string_field(VmState* L, int table, const char* key, const std::string& value) {
  push_string(L, key);
  push_lstring(L, value.data(), value.size());
  raw_set(L, table < 0 ? table - 2 : table);
}

// io.file: calling the class opens a file as io.open does.
void set_file_class(VmState* L, int io) {
  push_string(L, "file");
  push_closure(L, io_open, 0, true);
  get_env(L, -1);
  for (const LibraryFunction* f = FILE_CLASS_FUNCTIONS; f->name; ++f) {
    push_string(L, f->name);
    push_function(L, f->fn);
    raw_set(L, -3);
  }
  pop(L, 1);
  raw_set(L, io);
}

}  // namespace

void open_io_library(VmState* L) {
  ensure_stack(L, 8);
  register_file_type(L);
  register_path_info_type(L);

  register_library(L, "io", IO_FUNCTIONS);
  int io = get_top(L);
  const char* names[] = {"stdin", "stdout", "stderr"};
  std::FILE* streams[] = {stdin, stdout, stderr};
  for (int i = 0; i < 3; ++i) {
    push_string(L, names[i]);
    push_standard_file(L, streams[i], names[i]);
    raw_set(L, io);
  }
  set_file_class(L, io);
  std::string dir = application_directory();
  if (dir.back() != '/') dir += '/';
  set_string_field(L, io, "_exepath", dir + executable_name());
  set_string_field(L, io, "_exedir", dir);
  set_string_field(L, io, "_exefile", executable_name());
  L->top--;
}

}  // namespace quevro
