#include "batch/raw_deflate.h"

#include <libdeflate.h>

#include <memory>
#include <stdexcept>

namespace quevro::batch {
namespace {

// The level a browser's compression stream uses by default. The whole-buffer compressor takes a
// third of the time of a streaming one at that level, and every row compresses its filled parts.
constexpr int kLevel = 6;

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

std::vector<uint8_t> deflate_raw(std::span<const uint8_t> bytes) {
  // One compressor per thread, kept: allocating one costs more than compressing a small part.
  thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(libdeflate_alloc_compressor(kLevel));
  if (!compressor) throw std::runtime_error("deflate: out of memory");
  std::vector<uint8_t> out(libdeflate_deflate_compress_bound(compressor.get(), bytes.size()));
  size_t size = libdeflate_deflate_compress(compressor.get(), bytes.data(), bytes.size(), out.data(), out.size());
  if (size == 0) throw std::runtime_error("deflate failed");
  out.resize(size);
  return out;
}

}  // namespace quevro::batch
