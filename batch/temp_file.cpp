#include "batch/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quevro::batch {

std::string describe_errno(const std::string& path, int error) { return path + ": " + std::strerror(error); }

TempFile::~TempFile() { discard(); }

std::string TempFile::create(const std::string& target) {
  discard();
  target_ = target;
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  // A hidden name in the same folder: the rename then never crosses file systems.
  std::string pattern = folder + "." + base + ".XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  fd_ = mkostemp(path.data(), O_CLOEXEC);
  if (fd_ < 0) return describe_errno(target, errno);
  temp_path_ = path.data();
  return std::string();
}

std::string TempFile::append(std::span<const uint8_t> bytes) {
  const uint8_t* at = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, at, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return describe_errno(target_, errno);
    }
    at += n;
    left -= static_cast<size_t>(n);
  }
  return std::string();
}

std::string TempFile::commit() {
  // Files get the permissions a plain create would give them (the temporary file has 0600).
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd_, 0666 & ~mask) != 0 || ::close(fd_) != 0) {
    int error = errno;
    fd_ = -1;
    discard();
    return describe_errno(target_, error);
  }
  fd_ = -1;
  if (std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
    int error = errno;
    discard();
    return describe_errno(target_, error);
  }
  temp_path_.clear();
  return std::string();
}

void TempFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
}

}  // namespace quevro::batch
