// The export table of an export object (".fexports" for code, ".dexports" for
// data, section type SHT_QDM_EXPORTS): a count word, the CRC-32 of the name
// area, one 8-byte entry per export and an empty entry, then the names, each
// with its NUL, and 14 zero bytes. Word 0 of an entry receives the symbol's
// address through the entry's relocation; word 1 is the offset of the name in
// the table, with bit 31 marking a TLS data symbol. The CRC covers everything
// after the entries. Words are in the object's byte order. Each table is
// labelled by a global symbol at its start (kCodeTableSymbol,
// kDataTableSymbol), whose names export selection needs as well.
//
// The import stub's import sections start the same way: the count word and
// the CRC, copied from the export table.
#pragma once
#include <cstdint>

#include "exports/table_names.h"

namespace prepqdm {

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

static_assert(TableSize(2, 8) == 54, "two entries with two 3-byte names");

}  // namespace prepqdm
