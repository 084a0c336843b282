// Documents as files in a folder (created with its parents when missing). A file of the same name
// is replaced, as the application's save does.
#pragma once

#include "batch/document_sink.h"
#include "batch/input_guard.h"

namespace quevro::batch {

class FolderSink : public DocumentSink {
 public:
  FolderSink(std::string folder, const InputGuard& inputs) : folder_(std::move(folder)), inputs_(inputs) {}
  std::string open() override;
  std::string write(const std::string& name, std::span<const uint8_t> bytes) override;
  std::string finish(bool) override { return std::string(); }

 private:
  std::string folder_;
  const InputGuard& inputs_;
};

}  // namespace quevro::batch
