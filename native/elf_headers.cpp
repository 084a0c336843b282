#include "native/elf_headers.h"

#include <elf.h>

#include "native/image_bytes.h"
#include "native/image_errors.h"

namespace quevro {

namespace {

constexpr uint64_t ELF_HEADER_SIZE = sizeof(Elf64_Ehdr);
constexpr uint64_t PROGRAM_HEADER_SIZE = sizeof(Elf64_Phdr);

bool has_elf_identity(const ImageBytes& image) {
  const uint8_t* id = image.data();
  return id[EI_MAG0] == ELFMAG0 && id[EI_MAG1] == ELFMAG1 && id[EI_MAG2] == ELFMAG2 && id[EI_MAG3] == ELFMAG3;
}

bool is_power_of_two_or_none(uint64_t v) { return (v & (v - 1)) == 0; }

struct Segment {
  uint32_t type = 0;
  uint64_t offset = 0, vaddr = 0, file_size = 0, memory_size = 0, alignment = 0;
};

Segment read_segment(const ImageBytes& image, uint64_t at) {
  Segment s;
  image.read(at + offsetof(Elf64_Phdr, p_type), &s.type);
  image.read(at + offsetof(Elf64_Phdr, p_offset), &s.offset);
  image.read(at + offsetof(Elf64_Phdr, p_vaddr), &s.vaddr);
  image.read(at + offsetof(Elf64_Phdr, p_filesz), &s.file_size);
  image.read(at + offsetof(Elf64_Phdr, p_memsz), &s.memory_size);
  image.read(at + offsetof(Elf64_Phdr, p_align), &s.alignment);
  return s;
}

// A loadable segment is mapped from the file at its offset; it must be inside the bytes, no
// larger in the file than in memory, and placed consistently with its alignment.
uint32_t check_load_segment(const ImageBytes& image, const Segment& s) {
  if (!image.holds(s.offset, s.file_size)) return image_error::INVALID_DATA;
  if (s.file_size > s.memory_size || !is_power_of_two_or_none(s.alignment)) return image_error::BAD_EXE_FORMAT;
  if (s.alignment > 1 && (s.vaddr - s.offset) % s.alignment != 0) return image_error::BAD_EXE_FORMAT;
  return image_error::NONE;
}

}  // namespace

uint32_t check_elf_headers(const uint8_t* bytes, size_t size) {
  ImageBytes image(bytes, size);
  if (size < ELF_HEADER_SIZE) return image_error::INVALID_DATA;
  if (!has_elf_identity(image)) return image_error::BAD_EXE_FORMAT;
  uint16_t type = 0, machine = 0, phentsize = 0, phnum = 0;
  uint64_t phoff = 0;
  image.read(offsetof(Elf64_Ehdr, e_type), &type);
  image.read(offsetof(Elf64_Ehdr, e_machine), &machine);
  image.read(offsetof(Elf64_Ehdr, e_phoff), &phoff);
  image.read(offsetof(Elf64_Ehdr, e_phentsize), &phentsize);
  image.read(offsetof(Elf64_Ehdr, e_phnum), &phnum);
  if (bytes[EI_CLASS] != ELFCLASS64 || bytes[EI_DATA] != ELFDATA2LSB || bytes[EI_VERSION] != EV_CURRENT ||
      machine != EM_X86_64 || type != ET_DYN || phentsize != PROGRAM_HEADER_SIZE || phnum == 0)
    return image_error::BAD_EXE_FORMAT;
  if (!image.holds(phoff, PROGRAM_HEADER_SIZE * phnum)) return image_error::INVALID_DATA;

  bool has_load = false, has_dynamic = false;
  for (uint16_t i = 0; i < phnum; ++i) {
    Segment s = read_segment(image, phoff + PROGRAM_HEADER_SIZE * i);
    if (s.type == PT_LOAD) {
      if (uint32_t error = check_load_segment(image, s)) return error;
      has_load = true;
    } else if (s.type == PT_DYNAMIC) {
      if (!image.holds(s.offset, s.file_size)) return image_error::INVALID_DATA;
      has_dynamic = true;
    }
  }
  if (!has_load || !has_dynamic) return image_error::BAD_EXE_FORMAT;
  return image_error::NONE;
}

}  // namespace quevro
