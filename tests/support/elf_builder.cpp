#include "support/elf_builder.h"

#include <cstring>
#include <stdexcept>

#include "elf/elf_swap.h"

namespace testsupport {

using namespace prepqdm;

namespace {

size_t AlignUp(size_t v, size_t a) { return a <= 1 ? v : (v + a - 1) / a * a; }

void Append(Bytes& out, const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

uint32_t AddString(Bytes& table, const std::string& s) {
  if (s.empty()) return 0;
  uint32_t offset = static_cast<uint32_t>(table.size());
  table.insert(table.end(), s.begin(), s.end());
  table.push_back(0);
  return offset;
}

}  // namespace

ElfBuilder::ElfBuilder(bool big_endian, uint16_t machine) : big_endian_(big_endian) {
  header_.e_ident[0] = 0x7F;
  header_.e_ident[1] = 'E';
  header_.e_ident[2] = 'L';
  header_.e_ident[3] = 'F';
  header_.e_ident[EI_CLASS] = 1;
  header_.e_ident[EI_DATA] = big_endian ? 2 : 1;
  header_.e_ident[EI_VERSION] = 1;
  header_.e_type = ET_REL;
  header_.e_machine = machine;
  header_.e_version = 1;
  header_.e_ehsize = kElfHeaderSize;
  header_.e_phentsize = 0;
  header_.e_shentsize = kSectionHeaderSize;
}

uint32_t ElfBuilder::AddSection(SectionDesc section) {
  sections_.push_back(std::move(section));
  return static_cast<uint32_t>(sections_.size());
}

uint32_t ElfBuilder::AddProgbits(const std::string& name, uint32_t flags, Bytes data) {
  SectionDesc s;
  s.name = name;
  s.flags = flags;
  s.data = std::move(data);
  return AddSection(std::move(s));
}

uint32_t ElfBuilder::AddNobits(const std::string& name, uint32_t flags, uint32_t size) {
  SectionDesc s;
  s.name = name;
  s.type = SHT_NOBITS;
  s.flags = flags;
  s.nobits_size = size;
  return AddSection(std::move(s));
}

uint32_t ElfBuilder::AddSymbol(SymbolDesc symbol) {
  symbols_.push_back(std::move(symbol));
  return static_cast<uint32_t>(symbols_.size());
}

uint32_t ElfBuilder::AddGlobal(const std::string& name, uint16_t shndx, uint32_t value, uint32_t size,
                               uint8_t type, uint8_t binding) {
  SymbolDesc s;
  s.name = name;
  s.shndx = shndx;
  s.value = value;
  s.size = size;
  s.info = Info(binding, type);
  return AddSymbol(std::move(s));
}

uint32_t ElfBuilder::AddRelocations(uint32_t target, bool rela, const std::vector<RelocDesc>& relocs,
                                    const std::string& name) {
  SectionDesc s;
  s.type = rela ? SHT_RELA : SHT_REL;
  s.name = !name.empty() ? name
                         : (rela ? ".rela" : ".rel") +
                               (target >= 1 && target <= sections_.size() ? sections_[target - 1].name : std::string());
  s.link = kLinkSymtab;
  s.info = target;
  s.entsize = rela ? kRelaSize : kRelSize;
  for (const RelocDesc& r : relocs) {
    uint32_t info = (r.symbol << 8) | (r.type & 0xFF);
    uint32_t words[3] = {r.offset, info, static_cast<uint32_t>(r.addend)};
    for (int i = 0; i < (rela ? 3 : 2); ++i) {
      uint32_t w = big_endian_ ? Bswap32(words[i]) : words[i];
      Append(s.data, &w, 4);
    }
  }
  return AddSection(std::move(s));
}

void ElfBuilder::AddProgramHeader(const ProgramHeader& header) { program_headers_.push_back(header); }

uint32_t ElfBuilder::SymtabIndex() const { return static_cast<uint32_t>(sections_.size()) + 1; }

uint32_t ElfBuilder::ShstrtabIndex() const {
  if (omit_symtab_) return static_cast<uint32_t>(sections_.size()) + 1;
  return SymtabIndex() + (extended_ ? 3 : 2);
}

Bytes ElfBuilder::Build() const {
  // Complete section list: user sections, then .symtab/.strtab, then .shstrtab.
  std::vector<SectionDesc> all = sections_;
  if (!omit_symtab_) {
    Bytes strtab(1, 0);
    Bytes symtab(kSymbolSize, 0);
    Bytes shndx(4, 0);
    uint32_t first_global = 1;
    for (size_t i = 0; i < symbols_.size(); ++i) {
      const SymbolDesc& desc = symbols_[i];
      ElfSymbol sym{};
      sym.st_name = AddString(strtab, desc.name);
      sym.st_value = desc.value;
      sym.st_size = desc.size;
      sym.st_info = desc.info;
      sym.st_other = desc.other;
      sym.st_shndx = desc.shndx;
      if (SymbolBinding(desc.info) == 0 && first_global == i + 1) first_global = static_cast<uint32_t>(i + 2);
      if (big_endian_) SwapSymbol(sym);
      Append(symtab, &sym, sizeof sym);
      uint32_t word = big_endian_ ? Bswap32(desc.xindex) : desc.xindex;
      Append(shndx, &word, 4);
    }
    SectionDesc s;
    s.name = ".symtab";
    s.type = SHT_SYMTAB;
    s.data = std::move(symtab);
    s.link = kLinkStrtab;
    s.info = first_global;
    s.entsize = kSymbolSize;
    all.push_back(std::move(s));
    SectionDesc t;
    t.name = ".strtab";
    t.type = SHT_STRTAB;
    t.data = std::move(strtab);
    t.addralign = 1;
    all.push_back(std::move(t));
    if (extended_) {
      SectionDesc x;
      x.name = ".symtab_shndx";
      x.type = SHT_SYMTAB_SHNDX;
      x.data = std::move(shndx);
      x.link = kLinkSymtab;
      x.entsize = 4;
      all.push_back(std::move(x));
    }
  }
  Bytes shstrtab(1, 0);
  std::vector<uint32_t> names;
  for (const SectionDesc& s : all) names.push_back(AddString(shstrtab, s.name));
  uint32_t shstrtab_name = AddString(shstrtab, ".shstrtab");
  SectionDesc n;
  n.name = ".shstrtab";
  n.type = SHT_STRTAB;
  n.data = shstrtab;
  n.addralign = 1;
  all.push_back(n);
  names.push_back(shstrtab_name);

  uint32_t symtab_index = omit_symtab_ ? 0 : SymtabIndex();
  uint32_t strtab_index = omit_symtab_ ? 0 : StrtabIndex();

  Bytes out(kElfHeaderSize, 0);
  ElfHeader header = header_;
  if (!program_headers_.empty()) {
    header.e_phoff = static_cast<uint32_t>(out.size());
    header.e_phnum = static_cast<uint16_t>(program_headers_.size());
    header.e_phentsize = kProgramHeaderSize;
    for (ProgramHeader p : program_headers_) {
      if (big_endian_) SwapProgramHeader(p);
      Append(out, &p, sizeof p);
    }
  }
  std::vector<SectionHeader> headers(all.size() + 1, SectionHeader{});
  for (size_t i = 0; i < all.size(); ++i) {
    const SectionDesc& s = all[i];
    SectionHeader& h = headers[i + 1];
    h.sh_name = names[i];
    h.sh_type = s.type;
    h.sh_flags = s.flags;
    h.sh_addr = s.addr;
    h.sh_link = s.link == kLinkSymtab ? symtab_index : s.link == kLinkStrtab ? strtab_index : s.link;
    h.sh_info = s.info;
    h.sh_addralign = s.addralign;
    h.sh_entsize = s.entsize;
    out.resize(AlignUp(out.size(), s.addralign == 0 ? 1 : s.addralign), 0);
    h.sh_offset = static_cast<uint32_t>(out.size());
    if (s.type == SHT_NOBITS) {
      h.sh_size = s.nobits_size;
    } else {
      h.sh_size = static_cast<uint32_t>(s.data.size());
      Append(out, s.data.data(), s.data.size());
    }
  }
  out.resize(AlignUp(out.size(), 4), 0);
  header.e_shoff = static_cast<uint32_t>(out.size());
  header.e_shnum = static_cast<uint16_t>(headers.size());
  header.e_shstrndx = static_cast<uint16_t>(headers.size() - 1);
  if (extended_) {
    headers[0].sh_size = static_cast<uint32_t>(headers.size());
    headers[0].sh_link = static_cast<uint32_t>(headers.size() - 1);
    header.e_shnum = 0;
    header.e_shstrndx = SHN_XINDEX;
  }
  for (size_t i = 0; i < headers.size(); ++i) {
    SectionHeader h = headers[i];
    if (big_endian_) SwapSectionHeader(h);
    Append(out, &h, sizeof h);
  }
  // Objects must be at least 260 bytes to be read at all.
  if (out.size() < 260) out.resize(260, 0);
  if (big_endian_) SwapElfHeader(header);
  std::memcpy(out.data(), &header, sizeof header);
  return out;
}

bool IsBigEndian(const Bytes& image) { return image.size() > EI_DATA && image[EI_DATA] != 1; }

ElfHeader ReadHeader(const Bytes& image) {
  ElfHeader h;
  std::memcpy(&h, image.data(), sizeof h);
  if (IsBigEndian(image)) SwapElfHeader(h);
  return h;
}

void PatchHeader(Bytes& image, const std::function<void(ElfHeader&)>& edit) {
  ElfHeader h = ReadHeader(image);
  edit(h);
  if (IsBigEndian(image)) SwapElfHeader(h);
  std::memcpy(image.data(), &h, sizeof h);
}

static size_t SectionOffset(const Bytes& image, uint32_t index) {
  ElfHeader h = ReadHeader(image);
  size_t entsize = h.e_shentsize ? h.e_shentsize : kSectionHeaderSize;
  size_t offset = h.e_shoff + index * entsize;
  if (offset + sizeof(SectionHeader) > image.size()) throw std::out_of_range("section header");
  return offset;
}

SectionHeader ReadSection(const Bytes& image, uint32_t index) {
  SectionHeader s;
  std::memcpy(&s, image.data() + SectionOffset(image, index), sizeof s);
  if (IsBigEndian(image)) SwapSectionHeader(s);
  return s;
}

void PatchSection(Bytes& image, uint32_t index, const std::function<void(SectionHeader&)>& edit) {
  size_t offset = SectionOffset(image, index);
  SectionHeader s = ReadSection(image, index);
  edit(s);
  if (IsBigEndian(image)) SwapSectionHeader(s);
  std::memcpy(image.data() + offset, &s, sizeof s);
}

void PatchSymbol(Bytes& image, uint32_t symtab_index, uint32_t symbol_index,
                 const std::function<void(ElfSymbol&)>& edit) {
  SectionHeader symtab = ReadSection(image, symtab_index);
  size_t offset = symtab.sh_offset + symbol_index * kSymbolSize;
  if (offset + kSymbolSize > image.size()) throw std::out_of_range("symbol");
  ElfSymbol sym;
  std::memcpy(&sym, image.data() + offset, sizeof sym);
  if (IsBigEndian(image)) SwapSymbol(sym);
  edit(sym);
  if (IsBigEndian(image)) SwapSymbol(sym);
  std::memcpy(image.data() + offset, &sym, sizeof sym);
}

static size_t ProgramHeaderOffset(const Bytes& image, uint32_t index) {
  ElfHeader h = ReadHeader(image);
  size_t entsize = h.e_phentsize ? h.e_phentsize : kProgramHeaderSize;
  size_t offset = h.e_phoff + index * entsize;
  if (offset + sizeof(ProgramHeader) > image.size()) throw std::out_of_range("program header");
  return offset;
}

ProgramHeader ReadProgramHeader(const Bytes& image, uint32_t index) {
  ProgramHeader p;
  std::memcpy(&p, image.data() + ProgramHeaderOffset(image, index), sizeof p);
  if (IsBigEndian(image)) SwapProgramHeader(p);
  return p;
}

void PatchProgramHeader(Bytes& image, uint32_t index, const std::function<void(ProgramHeader&)>& edit) {
  size_t offset = ProgramHeaderOffset(image, index);
  ProgramHeader p = ReadProgramHeader(image, index);
  edit(p);
  if (IsBigEndian(image)) SwapProgramHeader(p);
  std::memcpy(image.data() + offset, &p, sizeof p);
}

void Put32(Bytes& image, size_t offset, uint32_t value, bool big_endian) {
  if (big_endian) value = Bswap32(value);
  std::memcpy(image.data() + offset, &value, 4);
}

uint32_t Get32(const Bytes& image, size_t offset, bool big_endian) {
  uint32_t value;
  std::memcpy(&value, image.data() + offset, 4);
  return big_endian ? Bswap32(value) : value;
}

}  // namespace testsupport
