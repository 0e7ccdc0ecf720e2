// Checked access to an ELF image that ParseElfImage has accepted (and so
// converted to host order). The reader guarantees the header tables fit; the
// accessors still test every offset against the image, because some tables
// (size-prefixed ones, relocation sections with no symbol table) are not
// validated and later stages must never read outside the bytes.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "elf/elf_format.h"

namespace prepqdm {

// The zero-terminated string at `offset` of `length` bytes: nothing when the
// offset is not inside them or no zero byte ends the string inside them.
std::optional<std::string_view> BoundedString(const uint8_t* bytes, uint64_t length, uint64_t offset);

struct ElfImage {
  uint8_t* data = nullptr;
  uint32_t size = 0;

  // True when [offset, offset + length) lies inside the image (64-bit math).
  bool Contains(uint64_t offset, uint64_t length) const {
    return offset <= size && length <= size - offset;
  }

  // The header, or all zeros for an image too short to hold one.
  ElfHeader Header() const {
    ElfHeader header{};
    if (data != nullptr && size >= kElfHeaderSize) header = LoadAt<ElfHeader>(data);
    return header;
  }
  // The number of section headers: e_shnum, or, when that is 0 and e_shoff
  // is not, the sh_size of section header 0 (extended numbering; 0 when
  // that header does not lie inside the image).
  uint32_t SectionCount() const;
  // Index of the section-name table: e_shstrndx, or section 0's sh_link when
  // e_shstrndx is SHN_XINDEX (0, no names, when that cannot be read).
  uint32_t SectionNamesIndex() const;
  uint32_t SectionEntrySize() const;  // e_shentsize, 40 when 0

  // Section header `index`, or nothing when it is not below SectionCount() or
  // does not lie wholly inside the image.
  std::optional<SectionHeader> Section(uint32_t index) const;
  // Byte offset of section header `index` in the image (for in-place updates).
  uint64_t SectionHeaderOffset(uint32_t index) const;

  // Content of a section as a checked byte range (empty for NOBITS).
  bool SectionContent(const SectionHeader& section, const uint8_t** begin, uint32_t* length) const;

  // The zero-terminated string at `offset` inside string-table section
  // `table`: nothing when the table is missing (index 0 included: a symbol
  // table linked to section 0 has no names), not inside the image, or the
  // string has no terminating zero inside the table.
  std::optional<std::string_view> StringAt(uint32_t table_index, uint32_t offset) const;

  // Name of section `index` from the section-name table (nothing when
  // e_shstrndx is 0 or the name cannot be read safely).
  std::optional<std::string_view> SectionName(uint32_t index) const;

  // The symbol record at byte `offset` of the image, or nothing when it does
  // not lie wholly inside it.
  std::optional<ElfSymbol> SymbolAt(uint64_t offset) const {
    if (data == nullptr || !Contains(offset, kSymbolSize)) return std::nullopt;
    return LoadAt<ElfSymbol>(data + offset);
  }

  // Entry `index` of table section `table` with entry size `entry_size`
  // (the caller applies the defaults); `record_size` bytes must fit inside
  // both the section and the image. Returns the entry's address or null.
  uint8_t* Entry(const SectionHeader& table, uint32_t entry_size, uint32_t index, uint32_t record_size) const;

  // The SHT_SYMTAB_SHNDX section that belongs to symbol table
  // `symtab_index` (the first one whose sh_link names it, size-prefixed ones
  // left out, as the reader leaves them), or 0. Walks the section headers, so
  // a caller looks once per table.
  uint32_t FindSymbolIndexTable(uint32_t symtab_index) const;

  // The section symbol `symbol_index` is defined in, given its st_shndx and
  // its symbol table's SHT_SYMTAB_SHNDX section `index_table` (0 for none):
  // st_shndx itself below SHN_LORESERVE; for SHN_XINDEX the table's entry,
  // a real section index whatever its value (kNoSectionIndex when there is
  // no entry to read); any other reserved value as ReservedSectionIndex, so
  // that it never reads as a real section.
  uint32_t SymbolSectionIndex(uint32_t index_table, uint32_t symbol_index, uint16_t st_shndx) const {
    if (st_shndx < SHN_LORESERVE) return st_shndx;
    return ReservedOrExtendedIndex(index_table, symbol_index, st_shndx);
  }

 private:
  uint32_t ReservedOrExtendedIndex(uint32_t index_table, uint32_t symbol_index, uint16_t st_shndx) const;
};

// Entry size of a symbol or relocation table with the defaults for 0.
uint32_t SymbolEntrySize(const SectionHeader& symtab);
uint32_t RelocationEntrySize(const SectionHeader& reloc);

}  // namespace prepqdm
