// Checked accessors over an accepted ELF image. Each one tests the range it
// is about to read against the image (64-bit sums, subtraction against the
// size), because tables the reader leaves unvalidated can still be reached.
#include "elf/elf_image.h"

#include <cstddef>
#include <cstring>

namespace prepqdm {

std::optional<std::string_view> BoundedString(const uint8_t* bytes, uint64_t length, uint64_t offset) {
  if (bytes == nullptr || offset >= length) return std::nullopt;
  const void* zero = std::memchr(bytes + offset, 0, static_cast<size_t>(length - offset));
  if (!zero) return std::nullopt;
  const char* start = reinterpret_cast<const char*>(bytes + offset);
  return std::string_view(start, static_cast<size_t>(static_cast<const char*>(zero) - start));
}

uint32_t ElfImage::SectionEntrySize() const {
  uint16_t entsize = Header().e_shentsize;
  return entsize == 0 ? kSectionHeaderSize : entsize;
}

uint64_t ElfImage::SectionHeaderOffset(uint32_t index) const {
  return static_cast<uint64_t>(Header().e_shoff) + static_cast<uint64_t>(index) * SectionEntrySize();
}

// Called for nearly every symbol, so the three header fields it needs are
// read directly rather than through three copies of the whole header.
std::optional<SectionHeader> ElfImage::Section(uint32_t index) const {
  if (data == nullptr || size < kElfHeaderSize) return std::nullopt;
  uint16_t count = LoadAt<uint16_t>(data + offsetof(ElfHeader, e_shnum));
  if (index >= count) return std::nullopt;
  uint16_t entsize = LoadAt<uint16_t>(data + offsetof(ElfHeader, e_shentsize));
  uint64_t offset = static_cast<uint64_t>(LoadAt<uint32_t>(data + offsetof(ElfHeader, e_shoff))) +
                    static_cast<uint64_t>(index) * (entsize == 0 ? kSectionHeaderSize : entsize);
  if (!Contains(offset, kSectionHeaderSize)) return std::nullopt;
  return LoadAt<SectionHeader>(data + offset);
}

bool ElfImage::SectionContent(const SectionHeader& section, const uint8_t** begin, uint32_t* length) const {
  if (section.sh_type == SHT_NOBITS || section.sh_size == 0) {
    *begin = data;
    *length = 0;
    return section.sh_type == SHT_NOBITS || Contains(section.sh_offset, 0);
  }
  if (!Contains(section.sh_offset, section.sh_size)) return false;
  *begin = data + section.sh_offset;
  *length = section.sh_size;
  return true;
}

std::optional<std::string_view> ElfImage::StringAt(uint32_t table_index, uint32_t offset) const {
  if (table_index == 0) return std::nullopt;
  std::optional<SectionHeader> table = Section(table_index);
  if (!table || table->sh_type == SHT_NOBITS) return std::nullopt;
  const uint8_t* begin;
  uint32_t length;
  if (!SectionContent(*table, &begin, &length)) return std::nullopt;
  return BoundedString(begin, length, offset);
}

std::optional<std::string_view> ElfImage::SectionName(uint32_t index) const {
  uint32_t names = Header().e_shstrndx;
  if (names == 0) return std::nullopt;
  std::optional<SectionHeader> section = Section(index);
  if (!section) return std::nullopt;
  return StringAt(names, section->sh_name);
}

uint8_t* ElfImage::Entry(const SectionHeader& table, uint32_t entry_size, uint32_t index, uint32_t record_size) const {
  if (entry_size == 0 || record_size > entry_size) return nullptr;
  uint64_t start = static_cast<uint64_t>(index) * entry_size;
  if (start > table.sh_size || record_size > table.sh_size - start) return nullptr;
  uint64_t offset = static_cast<uint64_t>(table.sh_offset) + start;
  if (!Contains(offset, record_size)) return nullptr;
  return data + offset;
}

uint32_t SymbolEntrySize(const SectionHeader& symtab) {
  return symtab.sh_entsize == 0 ? kSymbolSize : symtab.sh_entsize;
}

uint32_t RelocationEntrySize(const SectionHeader& reloc) {
  if (reloc.sh_entsize != 0) return reloc.sh_entsize;
  return reloc.sh_type == SHT_RELA ? kRelaSize : kRelSize;
}

}  // namespace prepqdm
