#include "native/elf_exports.h"

#include <elf.h>

#include "native/image_bytes.h"

namespace quevro {

namespace {

struct SectionHeader {
  uint32_t type = 0, link = 0;
  uint64_t offset = 0, size = 0, entry_size = 0;
};

bool read_section_header(const ImageBytes& image, uint64_t table, uint32_t index, SectionHeader* s) {
  uint64_t at = table + sizeof(Elf64_Shdr) * uint64_t{index};
  return image.read(at + offsetof(Elf64_Shdr, sh_type), &s->type) &&
         image.read(at + offsetof(Elf64_Shdr, sh_link), &s->link) &&
         image.read(at + offsetof(Elf64_Shdr, sh_offset), &s->offset) &&
         image.read(at + offsetof(Elf64_Shdr, sh_size), &s->size) &&
         image.read(at + offsetof(Elf64_Shdr, sh_entsize), &s->entry_size);
}

// Defined in the object and visible to others: what a caller may look up as an export.
bool is_export(uint8_t info, uint8_t other, uint16_t section) {
  unsigned binding = ELF64_ST_BIND(info);
  unsigned visibility = ELF64_ST_VISIBILITY(other);
  return section != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK || binding == STB_GNU_UNIQUE) &&
         (visibility == STV_DEFAULT || visibility == STV_PROTECTED);
}

// The NUL-terminated name at `offset` of the string section; empty when it runs off its end.
std::string read_name(const ImageBytes& image, const SectionHeader& strings, uint32_t offset) {
  if (offset >= strings.size || !image.holds(strings.offset, strings.size)) return {};
  const char* begin = reinterpret_cast<const char*>(image.data() + strings.offset + offset);
  uint64_t room = strings.size - offset;
  uint64_t length = 0;
  while (length < room && begin[length] != '\0') ++length;
  if (length == room) return {};
  return std::string(begin, length);
}

std::vector<std::string> names_of(const ImageBytes& image, const SectionHeader& symbols,
                                  const SectionHeader& strings) {
  std::vector<std::string> names;
  if (symbols.entry_size != sizeof(Elf64_Sym) || !image.holds(symbols.offset, symbols.size)) return names;
  uint64_t count = symbols.size / sizeof(Elf64_Sym);
  for (uint64_t i = 1; i < count; ++i) {  // entry 0 is the undefined symbol
    uint64_t at = symbols.offset + i * sizeof(Elf64_Sym);
    uint32_t name = 0;
    uint8_t info = 0, other = 0;
    uint16_t section = 0;
    image.read(at + offsetof(Elf64_Sym, st_name), &name);
    image.read(at + offsetof(Elf64_Sym, st_info), &info);
    image.read(at + offsetof(Elf64_Sym, st_other), &other);
    image.read(at + offsetof(Elf64_Sym, st_shndx), &section);
    if (!is_export(info, other, section)) continue;
    std::string text = read_name(image, strings, name);
    if (!text.empty()) names.push_back(std::move(text));
  }
  return names;
}

}  // namespace

std::vector<std::string> elf_export_names(const uint8_t* bytes, size_t size) {
  ImageBytes image(bytes, size);
  uint64_t table = 0;
  uint16_t entry_size = 0, count = 0;
  if (!image.read(offsetof(Elf64_Ehdr, e_shoff), &table) ||
      !image.read(offsetof(Elf64_Ehdr, e_shentsize), &entry_size) ||
      !image.read(offsetof(Elf64_Ehdr, e_shnum), &count))
    return {};
  if (entry_size != sizeof(Elf64_Shdr) || !image.holds(table, sizeof(Elf64_Shdr) * uint64_t{count})) return {};
  for (uint32_t i = 0; i < count; ++i) {
    SectionHeader symbols;
    read_section_header(image, table, i, &symbols);
    if (symbols.type != SHT_DYNSYM) continue;
    SectionHeader strings;
    if (symbols.link >= count || !read_section_header(image, table, symbols.link, &strings) ||
        strings.type != SHT_STRTAB)
      return {};
    return names_of(image, symbols, strings);
  }
  return {};
}

}  // namespace quevro
