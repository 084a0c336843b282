#include "batch/folder_sink.h"

#include "batch/folders.h"
#include "batch/temp_file.h"

namespace quevro::batch {

std::string FolderSink::open() { return make_folders(folder_); }

std::string FolderSink::write(const std::string& name, std::span<const uint8_t> bytes) {
  std::string path = folder_ + "/" + name;
  std::string error = inputs_.check(path);
  if (!error.empty()) return error;
  TempFile file;
  error = file.create(path);
  if (error.empty()) error = file.append(bytes);
  if (error.empty()) error = file.commit();
  return error;
}

}  // namespace quevro::batch
