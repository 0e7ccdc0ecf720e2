// The section layout both generated objects share: sections from index 1 up
// start at offset 64 (after the ELF header) and each at the next multiple of
// 64 after the one before; the section header table follows at the next
// multiple of 64, and the file is as long as the next multiple of 64 after
// it. The section-name table holds a NUL, then every section's name with its
// NUL in index order. Sizes are 64-bit, so a layout too large for the format
// is seen before anything is written.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace prepqdm {

struct PlannedSection {
  std::string_view name;
  uint64_t size = 0;  // ignored for the section-name table, whose size is its names'
};

struct SectionLayout {
  uint32_t section_count = 0;      // e_shnum: the null section and the planned ones
  std::vector<uint64_t> offset;    // by section index; 0 for the null section
  std::vector<uint64_t> size;
  std::vector<uint32_t> name;      // sh_name
  std::string names;               // contents of the section-name table
  uint64_t section_header_offset = 0;
  uint64_t file_length = 0;
};

// Lays out `sections` as sections 1, 2, ...; the one at index `names_index`
// is the section-name table.
SectionLayout LayOutSections(const std::vector<PlannedSection>& sections, uint32_t names_index);

// The next multiple of 64 at or after `offset`.
inline uint64_t AlignTo64(uint64_t offset) { return (offset + 63) & ~uint64_t{63}; }

}  // namespace prepqdm
