// Byte-order conversion of whole ELF records. Each function swaps every
// multi-byte field of one record in place and is its own inverse, so the
// reader uses them to bring big-endian input to host order and the writers to
// store host-order records in big-endian files.
#pragma once
#include "elf/elf_format.h"

namespace prepqdm {

void SwapElfHeader(ElfHeader& h);
void SwapSectionHeader(SectionHeader& s);
void SwapProgramHeader(ProgramHeader& p);
void SwapSymbol(ElfSymbol& s);
void SwapRela(ElfRela& r);

}  // namespace prepqdm
