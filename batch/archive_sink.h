// Documents as the entries of one ZIP archive, written as they come: stored, not compressed again
// (a document is a compressed package already), names in UTF-8, laid out as the page's archive is.
// The archive appears under its name only when the run keeps it.
#pragma once

#include <ctime>
#include <vector>

#include "batch/document_sink.h"
#include "batch/input_guard.h"
#include "batch/temp_file.h"

namespace quevro::batch {

class ArchiveSink : public DocumentSink {
 public:
  ArchiveSink(std::string path, const InputGuard& inputs, std::time_t when = std::time(nullptr));
  std::string open() override;
  std::string write(const std::string& name, std::span<const uint8_t> bytes) override;
  std::string finish(bool keep) override;

 private:
  struct Entry {
    std::string name;
    uint16_t flags;
    uint32_t crc;
    uint32_t size;
    uint32_t offset;
  };
  std::vector<uint8_t> header(const Entry& entry, bool central) const;

  std::string path_;
  const InputGuard& inputs_;
  uint16_t dos_time_ = 0;
  uint16_t dos_date_ = 0;
  TempFile file_;
  std::vector<Entry> entries_;
  uint64_t written_ = 0;
};

}  // namespace quevro::batch
