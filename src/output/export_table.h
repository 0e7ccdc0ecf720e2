// The names and layouts that the export object, the import stub and the
// inspector reading both have to agree on.
//
// The export table of an export object (kCodeTableSection for code,
// kDataTableSection for data, section type SHT_QDM_EXPORTS): a count word,
// the CRC-32 of the name area, one 8-byte entry per export and an empty
// entry, then the names, each with its NUL, and 14 zero bytes. Word 0 of an
// entry receives the symbol's address through the entry's relocation; word 1
// is the offset of the name in the table, with bit 31 marking a TLS data
// symbol. The CRC covers everything after the entries. Words are in the
// object's byte order. Each table is labelled by a global symbol at its start
// (kCodeTableSymbol, kDataTableSymbol), whose names export selection needs as
// well.
//
// The import stub's import sections (SHT_QDM_IMPORTS, named by a prefix and
// the module's base name) start the same way: the count word and the CRC,
// copied from the export table. The module's base name and its NUL follow;
// sh_info holds the name's length. Slot i, where the stub defines export i,
// sits at the offset of entry i, over the name, so the section is as long as
// the larger of the two.
#pragma once
#include <algorithm>
#include <cstdint>
#include <optional>

#include "exports/table_names.h"

namespace prepqdm {

// Section names of the export object, in the order it holds them (either
// table with its relocations may be absent).
constexpr char kCodeTableSection[] = ".fexports";
constexpr char kCodeRelocationSection[] = ".fexports.rela";
constexpr char kDataTableSection[] = ".dexports";
constexpr char kDataRelocationSection[] = ".dexports.rela";
// Both generated objects end with these three.
constexpr char kSymbolTableSection[] = ".symtab";
constexpr char kStringTableSection[] = ".strtab";
constexpr char kSectionNameTableSection[] = ".secstrtab";

// An import section's name is one of these and the module's base name.
constexpr char kCodeImportPrefix[] = ".fimport_";
constexpr char kDataImportPrefix[] = ".dimport_";

constexpr uint64_t kTableCountOffset = 0;
constexpr uint64_t kTableCrcOffset = 4;
constexpr uint64_t kTableHeaderSize = 8;   // count and CRC
constexpr uint64_t kTableEntrySize = 8;    // address word, name word
constexpr uint64_t kTableNameWordOffset = 4;  // within an entry
constexpr uint64_t kTableTrailer = 14;     // zero bytes after the names
constexpr uint32_t kTableTlsBit = 0x80000000u;

// Offset of entry `index` (its address word, which its relocation fills; the
// import stub's slot `index` sits at the same offset).
constexpr uint64_t TableEntryAt(uint64_t index) { return kTableHeaderSize + kTableEntrySize * index; }
// Offset of the name word of entry `index`.
constexpr uint64_t TableNameWordAt(uint64_t index) { return TableEntryAt(index) + kTableNameWordOffset; }
// Offset of the name area of a table with `count` entries (after the empty
// entry that closes them).
constexpr uint64_t TableNameArea(uint64_t count) { return kTableHeaderSize + kTableEntrySize * (count + 1); }
// Size of a table with `count` entries whose names take `name_bytes` bytes,
// NULs included.
constexpr uint64_t TableSize(uint64_t count, uint64_t name_bytes) {
  return TableNameArea(count) + name_bytes + kTableTrailer;
}

// The entry whose address word is at `offset`, if any: the inverse of
// TableEntryAt, for relocation offsets and slot values read back.
constexpr std::optional<uint64_t> TableEntryIndexAt(uint64_t offset) {
  if (offset < kTableHeaderSize || (offset - kTableHeaderSize) % kTableEntrySize != 0) return std::nullopt;
  return (offset - kTableHeaderSize) / kTableEntrySize;
}

static_assert(TableSize(2, 8) == 54, "two entries with two 3-byte names");
static_assert(TableEntryIndexAt(TableEntryAt(3)) == 3 && !TableEntryIndexAt(TableNameWordAt(3)));

// Where an import section holds the module's base name.
constexpr uint64_t kImportNameOffset = kTableHeaderSize;
// Size of an import section with `count` slots for a module whose base name
// is `name_length` bytes long.
constexpr uint64_t ImportSectionSize(uint64_t count, uint64_t name_length) {
  return std::max(TableEntryAt(count), kImportNameOffset + name_length + 1);
}

static_assert(ImportSectionSize(0, 7) == 16 && ImportSectionSize(2, 3) == 24);

}  // namespace prepqdm
