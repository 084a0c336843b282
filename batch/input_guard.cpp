#include "batch/input_guard.h"

#include <sys/stat.h>

#include <algorithm>

namespace quevro::batch {

void InputGuard::add(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) files_.emplace_back(info.st_dev, info.st_ino);
}

std::string InputGuard::check(const std::string& path) const {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::string();
  bool input = std::find(files_.begin(), files_.end(), std::make_pair(info.st_dev, info.st_ino)) != files_.end();
  return input ? path + ": this is an input file of the run and is not replaced" : std::string();
}

}  // namespace quevro::batch
