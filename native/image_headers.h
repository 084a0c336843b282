// Which kind of image a byte string holds, and whether its headers hold, before anything is
// mapped. Any byte string can be given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quevro {

enum class ImageKind { unknown, elf, pe };

struct ImageCheck {
  ImageKind kind = ImageKind::unknown;
  uint32_t error = 0;  // a Win32 error number (image_errors.h); 0 when the headers hold
};

// Fewer than 64 bytes are INVALID_DATA; bytes that begin with "MZ" are checked as a Windows
// image, bytes that begin with the ELF magic as a shared object; anything else is BAD_EXE_FORMAT.
ImageCheck check_image_header(const void* bytes, size_t size);

}  // namespace quevro
