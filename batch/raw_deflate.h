// Raw deflate (no zlib or gzip wrapper), as a browser's "deflate-raw" compression stream makes it:
// the default level, a 32 KB window.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quevro::batch {

std::vector<uint8_t> deflate_raw(std::span<const uint8_t> bytes);

}  // namespace quevro::batch
