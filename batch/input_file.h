// An input file read whole into memory, up to a limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quevro::batch {

struct InputFile {
  std::string name;  // the file name without its folder
  std::vector<uint8_t> bytes;
  std::string error;  // why it could not be read; empty when it was
};

// Reads at most `limit` bytes: a larger file is cut there, which the size checks then report.
InputFile read_input_file(const std::string& path, size_t limit);

}  // namespace quevro::batch
