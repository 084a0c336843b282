// The text decodings the generator expects of a browser: UTF-8 as its decoder reads it (a leading
// byte-order mark dropped, each malformed sequence replaced by U+FFFD) and windows-1252, which
// browsers use for the label "latin1". Both produce UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quevro::batch {

// The decoded text; with `fatal`, nothing when the bytes are not well-formed UTF-8.
std::optional<std::string> decode_utf8(std::span<const uint8_t> bytes, bool fatal);

std::string decode_windows1252(std::span<const uint8_t> bytes);

}  // namespace quevro::batch
