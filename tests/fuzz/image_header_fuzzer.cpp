// libFuzzer target: the image header checks and the export-name reader take any byte string.
// Crashes and sanitizer reports (a read past the end of the input) are the failures; the checks
// must also answer only with the numbers the loader documents.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "native/elf_exports.h"
#include "native/image_errors.h"
#include "native/image_headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace error = quevro::image_error;
  quevro::ImageCheck check = quevro::check_image_header(data, size);
  if (check.error != error::NONE && check.error != error::INVALID_DATA && check.error != error::BAD_EXE_FORMAT) {
    std::fprintf(stderr, "unexpected error number %u\n", check.error);
    std::abort();
  }
  (void)quevro::elf_export_names(data, size);
  return 0;
}
