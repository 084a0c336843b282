#include "batch/folders.h"

#include <sys/stat.h>

#include <cerrno>

#include "batch/temp_file.h"

namespace quevro::batch {

std::string make_folders(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? std::string() : path + ": not a folder";
  size_t slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
  if (slash != std::string::npos && slash > 0) {
    std::string parent_error = make_folders(path.substr(0, slash));
    if (!parent_error.empty()) return parent_error;
  }
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return describe_errno(path, errno);
  return std::string();
}

std::string make_parent_folders(const std::string& file_path) {
  size_t slash = file_path.rfind('/');
  if (slash == std::string::npos || slash == 0) return std::string();
  return make_folders(file_path.substr(0, slash));
}

}  // namespace quevro::batch
