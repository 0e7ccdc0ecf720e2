// Reading an export object back: the import library is made from the one
// just written, and qdmdump shows any. The image has passed the ELF reader,
// so headers, symbols and relocations are in host order; the table words are
// not, and are read here in the file's own order. Nothing else is trusted:
// every word and name is read through a checked range.
//
// Tables are found by section type: an SHT_QDM_EXPORTS section with
// SHF_EXECINSTR is a code table, any other a data table, and a table's
// relocations are the last SHT_RELA section whose sh_info names it.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "elf/elf_image.h"
#include "output/export_table.h"

namespace prepqdm {

// Whether a parsed image is an export object: a relocatable object with an
// export table, or the fixed empty export object.
bool IsExportObject(const ElfImage& image);

// Whether the image's words are in the other byte order than the host's.
bool SwapsWords(const ElfImage& image);

struct ExportTableIndices {
  std::vector<uint32_t> code;  // in section order
  std::vector<uint32_t> data;
};
ExportTableIndices FindExportTables(const ElfImage& image);

// The relocation section of table `table_index` (0 when there is none).
uint32_t FindTableRelocations(const ElfImage& image, uint32_t table_index);

// One export table, its contents inside the image.
struct ExportTableView {
  uint32_t index = 0;
  SectionHeader section{};
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
  bool swap = false;
  uint32_t count = 0;  // word 0
  uint32_t crc = 0;    // word 1

  // The word at `offset`, or nothing when it is not wholly inside the table.
  std::optional<uint32_t> Word(uint64_t offset) const;
  // The name word (offset and TLS bit) of entry `entry`.
  std::optional<uint32_t> NameWord(uint64_t entry) const { return Word(TableNameWordAt(entry)); }
  // The NUL-terminated name at `offset` of the table.
  std::optional<std::string_view> NameAt(uint64_t offset) const { return BoundedString(bytes, length, offset); }
};

enum class TableRead {
  kReadable,
  kOutside,   // the contents do not lie inside the image
  kTooShort,  // no room for the count and the CRC
};

// Reads section `index` as an export table.
TableRead ReadExportTable(const ElfImage& image, uint32_t index, ExportTableView* table);

}  // namespace prepqdm
