// Writes the export object: up to two export tables (code, data) with their
// relocations, symbols and string tables, or the fixed empty object.
#pragma once
#include <cstdint>

#include "host/status.h"

namespace prepqdm {

struct RunState;

Status WriteExportObject(RunState& run);
Status WriteEmptyExportObject(RunState& run);

// Section sizes and file offsets of an export object with `code_count` code
// and `data_count` data exports whose names take `code_name_bytes` and
// `data_name_bytes` bytes with one NUL each. Computed in 64 bits, so a table
// too large for the format is seen before anything is built or written.
struct ExportObjectLayout {
  uint32_t section_count = 0;  // e_shnum
  uint32_t code_index = 0;     // 0 when absent
  uint32_t data_index = 0;
  uint32_t symtab_index = 0;
  uint64_t symbol_count = 0;
  uint64_t code_area = 0;      // lengths of the two areas of ".strtab"
  uint64_t data_area = 0;
  uint64_t offset[8] = {};     // by section index
  uint64_t size[8] = {};
  uint64_t section_header_offset = 0;
  uint64_t file_length = 0;
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
