// Where generated documents go: a folder of files or one archive. Every file appears complete or
// not at all (written under a temporary name, then renamed).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quevro::batch {

class DocumentSink {
 public:
  virtual ~DocumentSink() = default;
  // Prepares the output (creates the folder, opens the archive's temporary file); an error text or "".
  virtual std::string open() = 0;
  // Stores one document under `name`; an error text or "".
  virtual std::string write(const std::string& name, std::span<const uint8_t> bytes) = 0;
  // Ends the run: with `keep` the output is completed, otherwise anything unfinished is removed.
  virtual std::string finish(bool keep) = 0;
};

}  // namespace quevro::batch
