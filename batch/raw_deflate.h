// Raw deflate (no zlib or gzip wrapper), as from a browser's "deflate-raw" compression stream:
// the same default level, the same format.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quevro::batch {

std::vector<uint8_t> deflate_raw(std::span<const uint8_t> bytes);

}  // namespace quevro::batch
