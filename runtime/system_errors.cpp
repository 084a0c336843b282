#include "runtime/system_errors.h"

#include <cerrno>
#include <cstring>

namespace quevro {

namespace {

thread_local uint32_t t_last_error = ERROR_SUCCESS_CODE;

struct ErrnoCode {
  int errno_value;
  uint32_t code;
};

// The C library's errors that have a Windows counterpart with the same meaning.
constexpr ErrnoCode ERRNO_CODES[] = {
    {ENOENT, 2},   {ENOTDIR, 3},  {EMFILE, 4},   {ENFILE, 4},    {EACCES, 5},   {EPERM, 5},
    {EISDIR, 5},   {EBADF, 6},    {ENOMEM, 8},   {EXDEV, 17},    {EROFS, 19},   {EEXIST, 80},
    {EINVAL, 87},  {EPIPE, 109},  {ENOSPC, 112}, {ENOSYS, 120},  {ENOTEMPTY, 145}, {EBUSY, 170},
    {ENOEXEC, 193}, {ENAMETOOLONG, 206}, {EIO, 1117}, {ETIMEDOUT, 1460}, {EAGAIN, 997},
};

struct CodeText {
  uint32_t code;
  const char* text;
};

constexpr CodeText CODE_TEXTS[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {17, "The system cannot move the file to a different disk drive."},
    {19, "The media is write protected."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {206, "The filename or extension is too long."},
    {997, "Overlapped I/O operation is in progress."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1460, "This operation returned because the timeout period expired."},
};

}  // namespace

uint32_t last_system_error() { return t_last_error; }

void set_last_system_error(uint32_t code) { t_last_error = code; }

uint32_t system_error_from_errno(int e) {
  if (e == 0) return ERROR_SUCCESS_CODE;
  for (const ErrnoCode& m : ERRNO_CODES)
    if (m.errno_value == e) return m.code;
  return ERRNO_CODE_BIT | static_cast<uint32_t>(e);
}

std::string system_error_text(uint32_t code) {
  for (const CodeText& t : CODE_TEXTS)
    if (t.code == code) return t.text;
  if ((code & ERRNO_CODE_BIT) != 0 && (code & ~ERRNO_CODE_BIT) < 0x10000)
    return std::strerror(static_cast<int>(code & ~ERRNO_CODE_BIT));
  return "Unknown error " + std::to_string(code) + ".";
}

}  // namespace quevro
