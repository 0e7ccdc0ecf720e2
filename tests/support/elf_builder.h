// Test-side writer of ELF32 relocatable objects in either byte order. Tests
// describe sections, symbols, relocations and program headers; Build() lays
// them out (header, program headers, sections, then the section header
// table) and appends ".symtab", ".strtab" (and ".symtab_shndx" under
// extended numbering) and ".shstrtab". Every field can be
// broken afterwards through the Patch helpers, which read and write records
// in the object's own byte order.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "elf/elf_format.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;
using prepqdm::ElfHeader;
using prepqdm::ProgramHeader;
using prepqdm::SectionHeader;

// Stand-ins for indices that are known only when Build() lays out the file.
constexpr uint32_t kLinkSymtab = 0xFFFFFF01u;
constexpr uint32_t kLinkStrtab = 0xFFFFFF02u;

struct SectionDesc {
  std::string name;
  uint32_t type = 1 /* SHT_PROGBITS */;
  uint32_t flags = 0;
  Bytes data;                 // contents (ignored for NOBITS)
  uint32_t nobits_size = 0;   // sh_size of a NOBITS section
  uint32_t addr = 0;
  uint32_t link = 0;
  uint32_t info = 0;
  uint32_t addralign = 4;
  uint32_t entsize = 0;
};

struct SymbolDesc {
  std::string name;
  uint32_t value = 0;
  uint32_t size = 0;
  uint8_t info = 0;     // (binding << 4) | type
  uint8_t other = 0;
  uint16_t shndx = 0;
  uint32_t xindex = 0;  // its ".symtab_shndx" entry, under extended numbering
};

struct RelocDesc {
  uint32_t offset = 0;
  uint32_t symbol = 0;  // index in .symtab
  uint32_t type = 1;
  int32_t addend = 0;
};

inline uint8_t Info(uint8_t binding, uint8_t type) { return static_cast<uint8_t>((binding << 4) | type); }

class ElfBuilder {
 public:
  explicit ElfBuilder(bool big_endian = false, uint16_t machine = 3);

  // Adds a section and returns its index (indices start at 1).
  uint32_t AddSection(SectionDesc section);
  uint32_t AddProgbits(const std::string& name, uint32_t flags, Bytes data);
  uint32_t AddNobits(const std::string& name, uint32_t flags, uint32_t size);
  // Adds a symbol to ".symtab" (index 0 is the null symbol) and returns its index.
  uint32_t AddSymbol(SymbolDesc symbol);
  uint32_t AddGlobal(const std::string& name, uint16_t shndx, uint32_t value = 0, uint32_t size = 0,
                     uint8_t type = prepqdm::STT_FUNC, uint8_t binding = prepqdm::STB_GLOBAL);
  // Adds a SHT_RELA (rela) or SHT_REL section relocating `target`.
  uint32_t AddRelocations(uint32_t target, bool rela, const std::vector<RelocDesc>& relocs,
                          const std::string& name = "");
  void AddProgramHeader(const ProgramHeader& header);
  // No .symtab/.strtab at all (only .shstrtab).
  void OmitSymbolTable() { omit_symtab_ = true; }
  // Extended section numbering: e_shnum 0 with the count in section 0's
  // sh_size, e_shstrndx SHN_XINDEX with the index in its sh_link, and a
  // ".symtab_shndx" after ".strtab" holding each symbol's `xindex`.
  void UseExtendedNumbering() { extended_ = true; }

  uint32_t SymtabIndex() const;  // valid once all sections are added
  uint32_t StrtabIndex() const { return SymtabIndex() + 1; }
  uint32_t SymtabShndxIndex() const { return SymtabIndex() + 2; }  // under extended numbering
  uint32_t ShstrtabIndex() const;

  ElfHeader& Header() { return header_; }  // host-order header, tweak before Build
  Bytes Build() const;

 private:
  bool big_endian_;
  bool omit_symtab_ = false;
  bool extended_ = false;
  ElfHeader header_{};
  std::vector<SectionDesc> sections_;
  std::vector<SymbolDesc> symbols_;
  std::vector<ProgramHeader> program_headers_;
};

// Byte-order-aware patching of a built (or any) ELF32 image.
bool IsBigEndian(const Bytes& image);
void PatchHeader(Bytes& image, const std::function<void(ElfHeader&)>& edit);
void PatchSection(Bytes& image, uint32_t index, const std::function<void(SectionHeader&)>& edit);
void PatchSymbol(Bytes& image, uint32_t symtab_index, uint32_t symbol_index,
                 const std::function<void(prepqdm::ElfSymbol&)>& edit);
void PatchProgramHeader(Bytes& image, uint32_t index, const std::function<void(ProgramHeader&)>& edit);
ElfHeader ReadHeader(const Bytes& image);
SectionHeader ReadSection(const Bytes& image, uint32_t index);
ProgramHeader ReadProgramHeader(const Bytes& image, uint32_t index);
void Put32(Bytes& image, size_t offset, uint32_t value, bool big_endian);
uint32_t Get32(const Bytes& image, size_t offset, bool big_endian);

}  // namespace testsupport
