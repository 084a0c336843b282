// The file object of the io library: a stream over a path, a pipe or a descriptor, what it
// remembers beside the stream, and the helpers its methods and the namespace functions share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "vm/state.h"
#include "vm/value.h"

namespace quevro {

// Translation modes, with the numbers scripts use for them.
constexpr uint32_t TEXT_MODE = 0x4000;
constexpr uint32_t BINARY_MODE = 0x8000;
constexpr uint32_t WIDE_TEXT_MODE = 0x10000;
constexpr uint32_t UTF16_TEXT_MODE = 0x20000;
constexpr uint32_t UTF8_TEXT_MODE = 0x40000;

inline bool is_translation_mode(double m) {
  return m == TEXT_MODE || m == BINARY_MODE || m == WIDE_TEXT_MODE || m == UTF16_TEXT_MODE || m == UTF8_TEXT_MODE;
}

// A file object's data. The stream comes first: library handles keep their native handle in the
// first word, which is how the closed-object check recognises a closed file (null).
struct FileData {
  std::FILE* stream;
  uint32_t translation;
  bool is_pipe;           // opened by popen: closing waits for the command
  char* delete_on_close;  // path of a file opened with 'D' (malloc'ed), removed when it closes
};

// A count argument: fractions are cut, negative and NaN counts are 0, huge ones unlimited.
inline size_t count_argument(double n) {
  if (!(n > 0)) return 0;
  if (n >= 1.8e19) return SIZE_MAX;
  return static_cast<size_t>(n);
}

// The memory a pointer value addresses; null for other values and for the small numbers that
// travel as pointer values (handles, ids), which address nothing.
inline void* memory_at(const Value* v) {
  if (v->tag != TAG_POINTER || reinterpret_cast<uintptr_t>(v->u.p) <= 0xFFFF) return nullptr;
  return v->u.p;
}

// A parsed open mode: what the C library is given and what the file object remembers.
struct OpenMode {
  std::string stdio;  // 'r', 'w' or 'a', then '+' when given, then 'e' for no-inherit
  uint32_t translation = TEXT_MODE;
  bool temporary = false;   // 'D'
  bool random = false;      // 'R'
  bool sequential = false;  // 'S'
  int encoding_error = 0;   // an unknown option after ',' makes the open fail with this errno
};

constexpr const char* IO_LIBRARY = "io";
constexpr const char* FILE_TYPE = "file";

// Checks the mode argument at idx (default "r"), raising the mode messages.
OpenMode check_open_mode(VmState* L, int idx);

// Opens a path (already resolved) with a parsed mode. Directories do not open (EISDIR), nor do
// paths holding a zero byte (EINVAL). Returns null with errno set on failure.
std::FILE* open_stream(const std::string& path, const OpenMode& mode);

// Opens a script path: resolved as an application path against the state's root; a path that
// begins with '~' and cannot be opened there is tried once more without the '~'. The path
// opened (or last tried) goes to *path.
std::FILE* open_app_file(VmState* L, const char* raw, size_t len, const OpenMode& mode, std::string* path);

// Pushes a new file object without a stream (it reads as closed until a stream is attached).
// Objects are made before their streams are opened, so that running out of memory cannot leave
// an open stream without an owner.
FileData* push_closed_file(VmState* L);
void attach_stream(FileData* d, std::FILE* stream, const OpenMode& mode, const std::string& path);

// Pushes a file object over one of the process's standard streams and keeps it in the registry's
// io table under its name ("stdin", "stdout", "stderr"), where print and getText find the state's
// standard files whatever scripts do to the io namespace.
void push_standard_file(VmState* L, std::FILE* stream, const char* name);

// The stream of the state's standard file of that name; when the script has closed that file,
// raises "standard %s file is closed" with the role ("input", "output").
std::FILE* standard_stream(VmState* L, const char* name, const char* role);

// The file at idx: raises the argument error for other values and the closed-object error when
// it is closed.
FileData* check_file(VmState* L, int idx);
inline std::FILE* check_stream(VmState* L, int idx) { return check_file(L, idx)->stream; }

// Clears the error and end marks of earlier operations, so that an error already reported does
// not fail the next one, and a terminal can be read again after an end of input. (A file object
// is used by one thread only; the unlocked tests keep the line loop free of a lock per line.)
inline void clear_marks(std::FILE* f) {
  if (feof_unlocked(f) || ferror_unlocked(f)) clearerr_unlocked(f);
}

// As check_stream, for a method that reads or writes; the marks are cleared.
inline std::FILE* transfer_stream(VmState* L, int idx) {
  std::FILE* f = check_stream(L, idx);
  clear_marks(f);
  return f;
}

bool is_standard_stream(const std::FILE* f);

// Closes the file's stream (standard streams stay open for the process). Returns 0, or an errno
// when flushing or closing failed; a pipe's command status goes to *exit_status when given.
int release_file(FileData* d, int* exit_status = nullptr);

// The close method and io.close: true; for a pipe whose command failed, false and its exit
// status; when flushing or closing failed, the failure results.
int close_file_at(VmState* L, int idx);

// The results of a failed operation: null, the system error text and the error number.
int push_failure(VmState* L, int err);
// The results of a failed open: null and "\n{File}:%s\n{Error}:%s" with the path as the script
// gave it. (The path comes as bytes so that nothing runs between the failure and reading errno.)
int push_open_failure(VmState* L, const char* shown_path, size_t len, int err);
std::string open_failure_text(const char* shown_path, size_t len, int err);

// Registers the file type's metatable in the registry and leaves nothing on the stack.
void register_file_type(VmState* L);

// The file methods, grouped by what they do.
int file_read(VmState* L);
int file_read_all(VmState* L);
int file_read_to(VmState* L);
int file_readback(VmState* L);
int file_read_buffer(VmState* L);
int file_read_unicode(VmState* L);
int file_lines(VmState* L);
int file_write(VmState* L);
int file_write_buffer(VmState* L);

// The iterator of file.lines() and io.lines(): upvalue 1 is the file, upvalue 2 true when the
// iterator closes the file at its end.
int lines_step(VmState* L);

}  // namespace quevro
