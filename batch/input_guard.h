// The run's input files, which no output may replace: a document named like the template, or an
// archive given the sheet's path, would otherwise destroy the very file the run was made from.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace quevro::batch {

class InputGuard {
 public:
  void add(const std::string& path);  // a file that does not exist is not recorded
  // An error text when writing `path` would replace an input file, else "".
  std::string check(const std::string& path) const;

 private:
  std::vector<std::pair<dev_t, ino_t>> files_;
};

}  // namespace quevro::batch
