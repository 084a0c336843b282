// The header rules for 32-bit Windows images. Such an image cannot run in this process; the
// rules still decide whether it is refused as malformed (INVALID_DATA) or as foreign
// (BAD_EXE_FORMAT), the way it would have been judged where it can run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quevro {

// The page size the Windows images are laid out for.
inline constexpr uint64_t PE_PAGE_SIZE = 4096;

// 0 when the DOS header, the NT headers, the section table and the sections' raw data all fit
// in the bytes and agree with one another; else INVALID_DATA or BAD_EXE_FORMAT.
uint32_t check_pe_headers(const uint8_t* bytes, size_t size);

}  // namespace quevro
