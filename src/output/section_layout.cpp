#include "output/section_layout.h"

#include "elf/elf_format.h"

namespace prepqdm {

SectionLayout LayOutSections(const std::vector<PlannedSection>& sections, uint32_t names_index) {
  SectionLayout layout;
  layout.section_count = static_cast<uint32_t>(sections.size()) + 1;
  layout.offset.assign(layout.section_count, 0);
  layout.size.assign(layout.section_count, 0);
  layout.name.assign(layout.section_count, 0);
  layout.names.assign(1, '\0');
  for (uint32_t i = 1; i < layout.section_count; ++i) {
    layout.name[i] = static_cast<uint32_t>(layout.names.size());
    layout.names.append(sections[i - 1].name);
    layout.names += '\0';
    layout.size[i] = sections[i - 1].size;
  }
  if (names_index < layout.section_count) layout.size[names_index] = layout.names.size();
  uint64_t offset = AlignTo64(kElfHeaderSize);
  for (uint32_t i = 1; i < layout.section_count; ++i) {
    layout.offset[i] = offset;
    offset = AlignTo64(offset + layout.size[i]);
  }
  layout.section_header_offset = offset;
  layout.file_length = AlignTo64(offset + uint64_t{kSectionHeaderSize} * layout.section_count);
  return layout;
}

}  // namespace prepqdm
