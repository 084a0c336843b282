#include "native/memory_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "native/image_errors.h"

namespace quevro {

namespace {

// The name shown for the mapping in /proc/PID/maps ("/memfd:quevro-memory-module (deleted)").
constexpr const char* MEMORY_FILE_NAME = "quevro-memory-module";

uint32_t error_for_errno(int e) {
  return e == EMFILE || e == ENFILE ? image_error::TOO_MANY_OPEN_FILES : image_error::OUTOFMEMORY;
}

bool write_all(int fd, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

int create_memory_file(const void* bytes, size_t size, uint32_t* win32_error) {
  int fd = ::memfd_create(MEMORY_FILE_NAME, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) {
    *win32_error = error_for_errno(errno);
    return -1;
  }
  if (!write_all(fd, static_cast<const uint8_t*>(bytes), size)) {
    *win32_error = error_for_errno(errno);
    ::close(fd);
    return -1;
  }
  // Sealing is a safeguard, not a requirement: a kernel without it still maps the file.
  (void)::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  return fd;
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace quevro
