#include "elf/elf_swap.h"

namespace prepqdm {

namespace {
void Swap(uint16_t& v) { v = Bswap16(v); }
void Swap(uint32_t& v) { v = Bswap32(v); }
void Swap(int32_t& v) { v = static_cast<int32_t>(Bswap32(static_cast<uint32_t>(v))); }
}  // namespace

void SwapElfHeader(ElfHeader& h) {
  Swap(h.e_type);
  Swap(h.e_machine);
  Swap(h.e_version);
  Swap(h.e_entry);
  Swap(h.e_phoff);
  Swap(h.e_shoff);
  Swap(h.e_flags);
  Swap(h.e_ehsize);
  Swap(h.e_phentsize);
  Swap(h.e_phnum);
  Swap(h.e_shentsize);
  Swap(h.e_shnum);
  Swap(h.e_shstrndx);
}

void SwapSectionHeader(SectionHeader& s) {
  Swap(s.sh_name);
  Swap(s.sh_type);
  Swap(s.sh_flags);
  Swap(s.sh_addr);
  Swap(s.sh_offset);
  Swap(s.sh_size);
  Swap(s.sh_link);
  Swap(s.sh_info);
  Swap(s.sh_addralign);
  Swap(s.sh_entsize);
}

void SwapProgramHeader(ProgramHeader& p) {
  Swap(p.p_type);
  Swap(p.p_offset);
  Swap(p.p_vaddr);
  Swap(p.p_paddr);
  Swap(p.p_filesz);
  Swap(p.p_memsz);
  Swap(p.p_flags);
  Swap(p.p_align);
}

void SwapSymbol(ElfSymbol& s) {
  Swap(s.st_name);
  Swap(s.st_value);
  Swap(s.st_size);
  Swap(s.st_shndx);
}

void SwapRela(ElfRela& r) {
  Swap(r.r_offset);
  Swap(r.r_info);
  Swap(r.r_addend);
}

}  // namespace prepqdm
