#include "output/export_object_reader.h"

#include "output/export_object_writer.h"
#include "output/output_file.h"

namespace prepqdm {

bool IsExportObject(const ElfImage& image) {
  if (image.Header().e_type != ET_REL) return false;
  ExportTableIndices tables = FindExportTables(image);
  return !tables.code.empty() || !tables.data.empty() || IsEmptyExportObject(image);
}

bool SwapsWords(const ElfImage& image) { return (image.Header().e_ident[EI_DATA] != ELFDATA2LSB) != kHostBigEndian; }

ExportTableIndices FindExportTables(const ElfImage& image) {
  ExportTableIndices tables;
  const uint32_t count = image.SectionCount();
  for (uint32_t i = 1; i < count; ++i) {
    std::optional<SectionHeader> section = image.Section(i);
    if (!section || section->sh_type != SHT_QDM_EXPORTS) continue;
    (section->sh_flags & SHF_EXECINSTR ? tables.code : tables.data).push_back(i);
  }
  return tables;
}

uint32_t FindTableRelocations(const ElfImage& image, uint32_t table_index) {
  uint32_t found = 0;
  const uint32_t count = image.SectionCount();
  for (uint32_t i = 1; i < count; ++i) {
    std::optional<SectionHeader> section = image.Section(i);
    if (section && section->sh_type == SHT_RELA && section->sh_info == table_index) found = i;
  }
  return found;
}

std::optional<uint32_t> ExportTableView::Word(uint64_t offset) const {
  if (bytes == nullptr || offset > length || length - offset < 4) return std::nullopt;
  return LoadWord(bytes + offset, swap);
}

TableRead ReadExportTable(const ElfImage& image, uint32_t index, ExportTableView* table) {
  std::optional<SectionHeader> section = image.Section(index);
  if (!section || !image.SectionContent(*section, &table->bytes, &table->length)) return TableRead::kOutside;
  table->index = index;
  table->section = *section;
  table->swap = SwapsWords(image);
  if (table->length < kTableHeaderSize) return TableRead::kTooShort;
  table->count = *table->Word(kTableCountOffset);
  table->crc = *table->Word(kTableCrcOffset);
  return TableRead::kReadable;
}

}  // namespace prepqdm
