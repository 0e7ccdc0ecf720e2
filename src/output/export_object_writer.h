// Writes the export object: up to two export tables (code, data) with their
// relocations, symbols and string tables, or the fixed empty object.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "elf/elf_image.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/staged_file.h"
#include "host/status.h"
#include "output/section_layout.h"

namespace prepqdm {

struct ExportList;
struct SymbolTable;

// Where the export object goes, and whether there are input objects to take
// its byte order and machine from (not in definition-file-only mode).
struct ExportObjectTarget {
  const std::string& path;
  bool def_only = false;
};

struct WrittenExportObject {
  Status status = kOk;
  // The file, complete and closed but not yet in place: the caller commits
  // it once every output of the run is ready (see StagedFile).
  StagedFile file;
  // Where each name went: its offset in its kind's area of ".strtab", by
  // position in ExportList::entries.
  std::vector<uint32_t> name_offsets;
};

// Writes the export object for `exports` (the fixed empty one when the list
// is empty) and lists the tables, or says the object is empty, in `log`.
// A failure is printed on `console`.
WrittenExportObject WriteExportObject(const ExportList& exports, const SymbolTable& symbols,
                                      const ExportObjectTarget& target, const Mappings& mappings, Sink& console,
                                      Sink& log);
WrittenExportObject WriteEmptyExportObject(const std::string& path, const Mappings& mappings, Sink& console);

// Whether a parsed image is the fixed empty export object.
bool IsEmptyExportObject(const ElfImage& image);

// Section sizes and file offsets of an export object with `code_count` code
// and `data_count` data exports whose names take `code_name_bytes` and
// `data_name_bytes` bytes with one NUL each. Computed in 64 bits, so a table
// too large for the format is seen before anything is built or written.
struct ExportObjectLayout : SectionLayout {
  uint32_t code_index = 0;     // 0 when absent
  uint32_t data_index = 0;
  uint32_t symtab_index = 0;
  uint64_t symbol_count = 0;
  uint64_t code_area = 0;      // lengths of the two areas of ".strtab"
  uint64_t data_area = 0;
};

ExportObjectLayout LayOutExportObject(uint32_t code_count, uint64_t code_name_bytes, uint32_t data_count,
                                      uint64_t data_name_bytes);

// True when section `index` of `layout` is a size the format cannot load (bit
// 31 set, or beyond 32 bits).
bool IsTooLarge(const ExportObjectLayout& layout, uint32_t index);

// The first section that ends beyond 32-bit file offsets, or whose section
// header table would; 0 when the whole file is addressable.
uint32_t FirstSectionBeyondFileLimit(const ExportObjectLayout& layout);

}  // namespace prepqdm
