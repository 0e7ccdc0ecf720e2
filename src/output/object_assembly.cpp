#include "output/object_assembly.h"

#include <cstring>
#include <utility>

namespace prepqdm {

ObjectAssembly::ObjectAssembly(const SectionLayout& layout, bool swap)
    : layout_(layout), swap_(swap), headers_(layout.section_count), pieces_(layout.section_count) {}

void ObjectAssembly::Describe(uint32_t index, const SectionFields& fields) {
  SectionHeader& header = headers_[index];
  header = SectionHeader{};
  header.sh_name = layout_.name[index];
  header.sh_type = fields.type;
  header.sh_flags = fields.flags;
  header.sh_offset = static_cast<uint32_t>(layout_.offset[index]);
  header.sh_size = static_cast<uint32_t>(layout_.size[index]);
  header.sh_link = fields.link;
  header.sh_info = fields.info;
  header.sh_addralign = fields.addralign;
  header.sh_entsize = fields.entsize;
}

void ObjectAssembly::Place(uint32_t index, const SectionFields& fields, const uint8_t* bytes) {
  Describe(index, fields);
  pieces_[index] = FilePiece{layout_.offset[index], bytes, layout_.size[index]};
}

void ObjectAssembly::Place(uint32_t index, const SectionFields& fields, std::function<void(ByteSink&)> produce) {
  Describe(index, fields);
  pieces_[index] = FilePiece{layout_.offset[index], layout_.size[index], std::move(produce)};
}

void ObjectAssembly::PlaceZeros(uint32_t index, const SectionFields& fields) { Describe(index, fields); }

void ObjectAssembly::PlaceSectionNames(uint32_t index) {
  names_index_ = index;
  Place(index, SectionFields{SHT_STRTAB, 0, 0, 0, 1, 0}, reinterpret_cast<const uint8_t*>(layout_.names.data()));
}

void ObjectAssembly::Patch(uint32_t index, uint64_t offset, const uint8_t* bytes, uint64_t length) {
  patches_.push_back(FilePiece{layout_.offset[index] + offset, bytes, length});
}

const ElfFileContents& ObjectAssembly::Contents(uint8_t ei_data, uint16_t machine, uint32_t flags, uint64_t base) {
  // A relocatable object without program headers (e_phentsize is set all
  // the same).
  ElfHeader header{};
  std::memcpy(header.e_ident, kElfMagic, kElfMagicSize);
  header.e_ident[EI_CLASS] = 1;
  header.e_ident[EI_DATA] = ei_data;
  header.e_ident[EI_VERSION] = 1;
  header.e_type = ET_REL;
  header.e_machine = machine;
  header.e_version = 1;
  header.e_shoff = static_cast<uint32_t>(layout_.section_header_offset);
  header.e_flags = flags;
  header.e_ehsize = kElfHeaderSize;
  header.e_phentsize = kProgramHeaderSize;
  header.e_shentsize = kSectionHeaderSize;
  header.e_shnum = static_cast<uint16_t>(layout_.section_count);
  header.e_shstrndx = static_cast<uint16_t>(names_index_);
  StoreRecord(header_bytes_, header, swap_);
  header_table_.assign(uint64_t{kSectionHeaderSize} * layout_.section_count, 0);
  for (uint32_t i = 0; i < layout_.section_count; ++i)
    StoreRecord(header_table_.data() + kSectionHeaderSize * i, headers_[i], swap_);

  contents_.base = base;
  contents_.length = layout_.file_length;
  contents_.header = FilePiece{0, header_bytes_, kElfHeaderSize};
  contents_.sections.clear();
  for (const FilePiece& piece : pieces_)
    if (piece.length != 0) contents_.sections.push_back(piece);
  contents_.patches = patches_;
  contents_.section_headers = FilePiece{layout_.section_header_offset, header_table_.data(), header_table_.size()};
  return contents_;
}

}  // namespace prepqdm
