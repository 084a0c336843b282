#include "native/pe_headers.h"

#include "native/image_bytes.h"
#include "native/image_errors.h"

namespace quevro {

namespace {

constexpr uint16_t DOS_MAGIC = 0x5A4D;         // "MZ"
constexpr uint32_t NT_SIGNATURE = 0x00004550;  // "PE\0\0"
constexpr uint16_t MACHINE_I386 = 0x14C;
constexpr uint64_t MINIMUM_IMAGE = 64;         // the DOS header
constexpr uint64_t NT_HEADERS_SIZE = 248;      // signature, file header, 32-bit optional header
constexpr uint64_t SECTION_HEADER_SIZE = 40;

// Offsets inside the NT headers.
constexpr uint64_t FILE_MACHINE = 4;
constexpr uint64_t FILE_SECTION_COUNT = 6;
constexpr uint64_t FILE_OPTIONAL_SIZE = 20;
constexpr uint64_t OPTIONAL_HEADER = 24;
constexpr uint64_t OPTIONAL_SECTION_ALIGNMENT = OPTIONAL_HEADER + 32;
constexpr uint64_t OPTIONAL_IMAGE_SIZE = OPTIONAL_HEADER + 56;
constexpr uint64_t OPTIONAL_HEADERS_SIZE = OPTIONAL_HEADER + 60;

// Offsets inside a section header.
constexpr uint64_t SECTION_VIRTUAL_ADDRESS = 12;
constexpr uint64_t SECTION_RAW_SIZE = 16;
constexpr uint64_t SECTION_RAW_OFFSET = 20;

struct Section {
  uint32_t virtual_address;
  uint32_t raw_size;
  uint32_t raw_offset;
};

bool read_section(const ImageBytes& image, uint64_t at, Section* s) {
  return image.read(at + SECTION_VIRTUAL_ADDRESS, &s->virtual_address) &&
         image.read(at + SECTION_RAW_SIZE, &s->raw_size) && image.read(at + SECTION_RAW_OFFSET, &s->raw_offset);
}

// Where the section ends in the mapped image: its raw data, or one alignment unit when it has none.
uint64_t section_end(const Section& s, uint32_t section_alignment) {
  return uint64_t{s.virtual_address} + (s.raw_size == 0 ? section_alignment : s.raw_size);
}

}  // namespace

uint32_t check_pe_headers(const uint8_t* bytes, size_t size) {
  ImageBytes image(bytes, size);
  if (size < MINIMUM_IMAGE) return image_error::INVALID_DATA;
  uint16_t dos_magic = 0;
  image.read(0, &dos_magic);
  if (dos_magic != DOS_MAGIC) return image_error::BAD_EXE_FORMAT;

  uint32_t nt = 0;
  image.read(60, &nt);
  if (!image.holds(nt, NT_HEADERS_SIZE)) return image_error::INVALID_DATA;
  uint32_t signature = 0;
  uint16_t machine = 0, section_count = 0, optional_size = 0;
  uint32_t section_alignment = 0, image_size = 0, headers_size = 0;
  image.read(nt, &signature);
  image.read(nt + FILE_MACHINE, &machine);
  image.read(nt + FILE_SECTION_COUNT, &section_count);
  image.read(nt + FILE_OPTIONAL_SIZE, &optional_size);
  image.read(nt + OPTIONAL_SECTION_ALIGNMENT, &section_alignment);
  image.read(nt + OPTIONAL_IMAGE_SIZE, &image_size);
  image.read(nt + OPTIONAL_HEADERS_SIZE, &headers_size);
  if (signature != NT_SIGNATURE || machine != MACHINE_I386 || (section_alignment & 1) != 0)
    return image_error::BAD_EXE_FORMAT;

  // The section table follows the optional header, whatever size that header declares; it must
  // be inside the bytes before a single entry is read.
  uint64_t table = uint64_t{nt} + OPTIONAL_HEADER + optional_size;
  if (!image.holds(table, SECTION_HEADER_SIZE * section_count)) return image_error::INVALID_DATA;
  uint64_t last_end = 0;
  for (uint16_t i = 0; i < section_count; ++i) {
    Section s{};
    read_section(image, table + SECTION_HEADER_SIZE * i, &s);
    uint64_t end = section_end(s, section_alignment);
    if (end > last_end) last_end = end;
  }
  uint64_t rounded_image = 0, rounded_end = 0;
  if (!align_up(image_size, PE_PAGE_SIZE, &rounded_image) || !align_up(last_end, PE_PAGE_SIZE, &rounded_end) ||
      rounded_image != rounded_end)
    return image_error::BAD_EXE_FORMAT;

  // What the mapping would copy: the headers, then each section's raw data.
  if (size < headers_size) return image_error::INVALID_DATA;
  for (uint16_t i = 0; i < section_count; ++i) {
    Section s{};
    read_section(image, table + SECTION_HEADER_SIZE * i, &s);
    if (s.raw_size != 0 && !image.holds(s.raw_offset, s.raw_size)) return image_error::INVALID_DATA;
  }
  return image_error::NONE;
}

}  // namespace quevro
