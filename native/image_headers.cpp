#include "native/image_headers.h"

#include "native/elf_headers.h"
#include "native/image_errors.h"
#include "native/pe_headers.h"

namespace quevro {

namespace {

constexpr size_t MINIMUM_IMAGE = 64;  // a DOS header, or an ELF header

}  // namespace

ImageCheck check_image_header(const void* bytes, size_t size) {
  ImageCheck result;
  if (bytes == nullptr || size < MINIMUM_IMAGE) {
    result.error = image_error::INVALID_DATA;
    return result;
  }
  const auto* b = static_cast<const uint8_t*>(bytes);
  if (b[0] == 'M' && b[1] == 'Z') {
    result.kind = ImageKind::pe;
    result.error = check_pe_headers(b, size);
  } else if (b[0] == 0x7F && b[1] == 'E' && b[2] == 'L' && b[3] == 'F') {
    result.kind = ImageKind::elf;
    result.error = check_elf_headers(b, size);
  } else {
    result.error = image_error::BAD_EXE_FORMAT;
  }
  return result;
}

}  // namespace quevro
