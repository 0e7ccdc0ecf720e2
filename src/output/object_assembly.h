// The assembly step both generated objects share. A writer lays out its
// sections (section_layout.h), then describes each one: its header fields
// and its contents. The assembly makes the ELF header and the section header
// table from the layout and hands the whole file to WriteElfContents, which
// writes the sections in index order.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "elf/elf_format.h"
#include "output/output_file.h"
#include "output/section_layout.h"

namespace prepqdm {

// A section header's fields other than its name, offset and size, which the
// layout gives.
struct SectionFields {
  uint32_t type = SHT_NULL;
  uint32_t flags = 0;
  uint32_t link = 0;
  uint32_t info = 0;
  uint32_t addralign = 0;
  uint32_t entsize = 0;
};

class ObjectAssembly {
 public:
  // `swap`: the target's byte order differs from the host's.
  ObjectAssembly(const SectionLayout& layout, bool swap);
  ObjectAssembly(const ObjectAssembly&) = delete;
  ObjectAssembly& operator=(const ObjectAssembly&) = delete;

  // Section `index` with its contents at hand, as many bytes as the layout
  // gives it; they must stay valid until the file is written.
  void Place(uint32_t index, const SectionFields& fields, const uint8_t* bytes);
  // Section `index` with contents made while the file is written: `produce`
  // appends exactly the layout's size.
  void Place(uint32_t index, const SectionFields& fields, std::function<void(ByteSink&)> produce);
  // Section `index` holding zeros only, which the zero fill already wrote.
  void PlaceZeros(uint32_t index, const SectionFields& fields);
  // The section-name table, at `index`, with the layout's names; the ELF
  // header names it.
  void PlaceSectionNames(uint32_t index);
  // `length` bytes written at `offset` into section `index` once every
  // section is out; they must be ready by then.
  void Patch(uint32_t index, uint64_t offset, const uint8_t* bytes, uint64_t length);

  // The file, with the object at `base`, for WriteElfContents. Valid as long
  // as the assembly.
  const ElfFileContents& Contents(uint8_t ei_data, uint16_t machine, uint32_t flags, uint64_t base = 0);

 private:
  void Describe(uint32_t index, const SectionFields& fields);

  const SectionLayout& layout_;
  const bool swap_;
  uint32_t names_index_ = 0;
  std::vector<SectionHeader> headers_;
  std::vector<FilePiece> pieces_;  // by section index; length 0 for none
  std::vector<FilePiece> patches_;
  uint8_t header_bytes_[kElfHeaderSize] = {};
  std::vector<uint8_t> header_table_;
  ElfFileContents contents_;
};

}  // namespace prepqdm
