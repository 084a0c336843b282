// A file written under a temporary name beside its target and renamed over it when complete, so
// that no reader ever sees a partly written file and a failed run leaves nothing behind.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quevro::batch {

class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();  // removes the temporary file unless it was committed

  // Creates the temporary file for `target`; an error text or "".
  std::string create(const std::string& target);
  std::string append(std::span<const uint8_t> bytes);
  // Flushes, closes and renames onto the target; an error text or "".
  std::string commit();
  void discard();
  bool is_open() const { return fd_ >= 0; }

 private:
  std::string target_;
  std::string temp_path_;
  int fd_ = -1;
};

// The system's text for errno, for messages about a path.
std::string describe_errno(const std::string& path, int error);

}  // namespace quevro::batch
