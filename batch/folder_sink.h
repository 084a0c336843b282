// Documents as files in a folder (created with its parents when missing). A file of the same name
// is replaced, as the application's save does.
#pragma once

#include "batch/document_sink.h"

namespace quevro::batch {

class FolderSink : public DocumentSink {
 public:
  explicit FolderSink(std::string folder) : folder_(std::move(folder)) {}
  std::string open() override;
  std::string write(const std::string& name, std::span<const uint8_t> bytes) override;
  std::string finish(bool) override { return std::string(); }

 private:
  std::string folder_;
};

}  // namespace quevro::batch
