#include "batch/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace quevro::batch {

InputFile read_input_file(const std::string& path, size_t limit) {
  InputFile file;
  size_t slash = path.rfind('/');
  file.name = slash == std::string::npos ? path : path.substr(slash + 1);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    file.error = std::strerror(errno);
    return file;
  }
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    file.error = std::strerror(EISDIR);
    return file;
  }
  uint8_t chunk[65536];
  while (file.bytes.size() < limit) {
    ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - file.bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file.error = std::strerror(errno);
      break;
    }
    if (n == 0) break;
    file.bytes.insert(file.bytes.end(), chunk, chunk + n);
  }
  ::close(fd);
  return file;
}

}  // namespace quevro::batch
