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

namespace {

// The count extended numbering keeps in section header 0, for an image
// whose e_shnum is 0: nothing without a table, or when header 0 is cut off.
uint32_t ExtendedSectionCount(const ElfImage& image, uint32_t shoff) {
  if (shoff == 0 || !image.Contains(shoff, kSectionHeaderSize)) return 0;
  return LoadAt<uint32_t>(image.data + shoff + offsetof(SectionHeader, sh_size));
}

}  // namespace

uint32_t ElfImage::SectionCount() const {
  if (data == nullptr || size < kElfHeaderSize) return 0;
  uint16_t count = LoadAt<uint16_t>(data + offsetof(ElfHeader, e_shnum));
  if (count != 0) return count;
  return ExtendedSectionCount(*this, LoadAt<uint32_t>(data + offsetof(ElfHeader, e_shoff)));
}

uint32_t ElfImage::SectionNamesIndex() const {
  uint16_t names = Header().e_shstrndx;
  if (names != SHN_XINDEX) return names;
  std::optional<SectionHeader> first = Section(0);
  return first ? first->sh_link : 0;
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
  uint32_t count = LoadAt<uint16_t>(data + offsetof(ElfHeader, e_shnum));
  uint32_t shoff = LoadAt<uint32_t>(data + offsetof(ElfHeader, e_shoff));
  if (count == 0) count = ExtendedSectionCount(*this, shoff);
  if (index >= count) return std::nullopt;
  uint16_t entsize = LoadAt<uint16_t>(data + offsetof(ElfHeader, e_shentsize));
  uint64_t offset = static_cast<uint64_t>(shoff) +
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
  uint32_t names = SectionNamesIndex();
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

uint32_t ElfImage::FindSymbolIndexTable(uint32_t symtab_index) const {
  uint32_t count = SectionCount();
  for (uint32_t index = 1; index < count; ++index) {
    std::optional<SectionHeader> section = Section(index);
    if (section && section->sh_type == SHT_SYMTAB_SHNDX && section->sh_link == symtab_index &&
        (section->sh_flags & SHF_SIZE_PREFIXED) == 0) {
      return index;
    }
  }
  return 0;
}

uint32_t ElfImage::ReservedOrExtendedIndex(uint32_t index_table, uint32_t symbol_index, uint16_t st_shndx) const {
  if (st_shndx != SHN_XINDEX) return ReservedSectionIndex(st_shndx);
  if (index_table == 0) return kNoSectionIndex;
  std::optional<SectionHeader> table = Section(index_table);
  if (!table) return kNoSectionIndex;
  // The table's words are Elf32_Word whatever its sh_entsize says.
  const uint8_t* word = Entry(*table, 4, symbol_index, 4);
  return word != nullptr ? LoadAt<uint32_t>(word) : kNoSectionIndex;
}

uint32_t SymbolEntrySize(const SectionHeader& symtab) {
  return symtab.sh_entsize == 0 ? kSymbolSize : symtab.sh_entsize;
}

uint32_t RelocationEntrySize(const SectionHeader& reloc) {
  if (reloc.sh_entsize != 0) return reloc.sh_entsize;
  return reloc.sh_type == SHT_RELA ? kRelaSize : kRelSize;
}

}  // namespace prepqdm
