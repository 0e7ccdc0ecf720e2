// ParseElfImage: the catalogue of malformed objects (each row one defect and
// the code it must produce, run in both byte orders), the in-place
// conversion of big-endian images, real compiler output, and the equivalence
// of the fast placement checks with the plain pairwise rule.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "elf/elf_format.h"
#include "elf/elf_image.h"
#include "elf/elf_reader.h"
#include "elf/elf_swap.h"
#include "gcc_objects.h"
#include "support/elf_builder.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using namespace testsupport;

namespace {

// A small object that exercises every kind of check: two allocated
// sections, a NOBITS one, a plain one, symbols of each interesting type, a
// RELA and a REL table (each beginning with an all-zero entry) and two
// program headers covering .text and .data.
struct Base {
  Bytes image;
  uint32_t text, data, bss, comment, rela, rel, symtab, strtab, shstrtab, shnum;
  uint32_t file_sym, section_sym, func_sym, obj_sym, notype_sym;
};

Base MakeBase(bool big) {
  Base b{};
  ElfBuilder e(big);
  b.text = e.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0x90));
  b.data = e.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  b.bss = e.AddNobits(".bss", SHF_ALLOC | SHF_WRITE, 32);
  b.comment = e.AddProgbits(".comment", 0, Bytes{'h', 'e', 'l', 'l', 'o', 0});
  b.file_sym = e.AddSymbol({"t.c", 0, 0, Info(0, STT_FILE), 0, SHN_ABS});
  b.section_sym = e.AddSymbol({"", 0, 0, Info(0, STT_SECTION), 0, static_cast<uint16_t>(b.text)});
  b.func_sym = e.AddGlobal("f", static_cast<uint16_t>(b.text), 0, 16, STT_FUNC);
  b.obj_sym = e.AddGlobal("x", static_cast<uint16_t>(b.data), 4, 4, STT_OBJECT);
  b.notype_sym = e.AddGlobal("u", 0, 0, 0, 0);
  b.rela = e.AddRelocations(b.text, true, {{0, 0, 0, 0}, {0, b.func_sym, 1, 0}});
  b.rel = e.AddRelocations(b.data, false, {{0, 0, 0, 0}, {4, b.obj_sym, 1, 0}});
  ProgramHeader placeholder{};
  placeholder.p_type = 1;
  e.AddProgramHeader(placeholder);
  e.AddProgramHeader(placeholder);
  b.symtab = e.SymtabIndex();
  b.strtab = e.StrtabIndex();
  b.shstrtab = e.ShstrtabIndex();
  b.image = e.Build();
  b.shnum = ReadHeader(b.image).e_shnum;
  SectionHeader text = ReadSection(b.image, b.text);
  SectionHeader data = ReadSection(b.image, b.data);
  PatchProgramHeader(b.image, 0, [&](ProgramHeader& p) { p.p_offset = text.sh_offset; p.p_filesz = text.sh_size; });
  PatchProgramHeader(b.image, 1, [&](ProgramHeader& p) { p.p_offset = data.sh_offset; p.p_filesz = data.sh_size; });
  return b;
}

using Damage = std::function<void(Bytes&, const Base&)>;

Damage Sec(uint32_t Base::*which, std::function<void(SectionHeader&, const Base&, const Bytes&)> edit) {
  return [which, edit](Bytes& image, const Base& b) {
    const Bytes& view = image;
    PatchSection(image, b.*which, [&](SectionHeader& s) { edit(s, b, view); });
  };
}
Damage Hdr(std::function<void(ElfHeader&, const Bytes&)> edit) {
  return [edit](Bytes& image, const Base&) {
    const Bytes& view = image;
    PatchHeader(image, [&](ElfHeader& h) { edit(h, view); });
  };
}
Damage Sym(uint32_t Base::*which, std::function<void(ElfSymbol&, const Base&)> edit) {
  return [which, edit](Bytes& image, const Base& b) {
    PatchSymbol(image, b.symtab, b.*which, [&](ElfSymbol& s) { edit(s, b); });
  };
}
Damage Phdr(uint32_t index, std::function<void(ProgramHeader&, const Base&, const Bytes&)> edit) {
  return [index, edit](Bytes& image, const Base& b) {
    const Bytes& view = image;
    PatchProgramHeader(image, index, [&](ProgramHeader& p) { edit(p, b, view); });
  };
}
// Word `word` of entry `entry` of relocation section `which`, in file order.
Damage RelocWord(uint32_t Base::*which, uint32_t entry, uint32_t word, uint32_t value) {
  return [=](Bytes& image, const Base& b) {
    SectionHeader s = ReadSection(image, b.*which);
    Put32(image, s.sh_offset + entry * s.sh_entsize + word * 4, value, IsBigEndian(image));
  };
}
// The first content word of section `which`, in file order.
Damage FirstWord(uint32_t Base::*which, uint32_t value) {
  return [=](Bytes& image, const Base& b) { Put32(image, ReadSection(image, b.*which).sh_offset, value, IsBigEndian(image)); };
}
Damage Both(Damage a, Damage c) {
  return [a, c](Bytes& image, const Base& b) { a(image, b); c(image, b); };
}
// Makes the symbol table size-prefixed, so it is neither validated nor converted.
Damage PrefixSymtab(std::function<void(SectionHeader&)> more = nullptr) {
  return Sec(&Base::symtab, [more](SectionHeader& s, const Base&, const Bytes&) {
    s.sh_flags |= SHF_SIZE_PREFIXED;
    if (more) more(s);
  });
}

struct Row {
  const char* defect;
  uint32_t code;
  Damage damage;
};

const Row kCatalogue[] = {
    {"intact object", 0, [](Bytes&, const Base&) {}},
    // Header.
    {"259 bytes", 0xBAD00018, [](Bytes& i, const Base&) { i.resize(259); }},
    {"bad magic", 0xBAD00019, [](Bytes& i, const Base&) { i[3] = 'G'; }},
    {"EI_CLASS 2", 0xBAD0001A, [](Bytes& i, const Base&) { i[EI_CLASS] = 2; }},
    {"EI_VERSION 2", 0xBAD0001B, [](Bytes& i, const Base&) { i[EI_VERSION] = 2; }},
    {"EI_VERSION 0 passes", 0, [](Bytes& i, const Base&) { i[EI_VERSION] = 0; }},
    {"e_machine 0", 0xBAD0001C, Hdr([](ElfHeader& h, const Bytes&) { h.e_machine = 0; })},
    {"e_version 2", 0xBAD0001D, Hdr([](ElfHeader& h, const Bytes&) { h.e_version = 2; })},
    {"e_ehsize 40", 0xBAD0002C, Hdr([](ElfHeader& h, const Bytes&) { h.e_ehsize = 40; })},
    {"e_ehsize 0 reads as 52", 0, Hdr([](ElfHeader& h, const Bytes&) { h.e_ehsize = 0; })},
    {"e_ehsize reaches length - 208", 0xBAD0001E,
     Hdr([](ElfHeader& h, const Bytes& i) { h.e_ehsize = static_cast<uint16_t>(i.size() - 208); })},
    {"e_phoff inside the header", 0xBAD0001F, Hdr([](ElfHeader& h, const Bytes&) { h.e_phoff = 20; })},
    {"e_phoff at the end", 0xBAD0001F,
     Hdr([](ElfHeader& h, const Bytes& i) { h.e_phoff = static_cast<uint32_t>(i.size()); })},
    {"e_phoff 0 with program headers", 0xBAD0001F, Hdr([](ElfHeader& h, const Bytes&) { h.e_phoff = 0; })},
    {"e_shoff inside the header", 0xBAD00020, Hdr([](ElfHeader& h, const Bytes&) { h.e_shoff = 51; })},
    {"e_shoff at the end", 0xBAD00020,
     Hdr([](ElfHeader& h, const Bytes& i) { h.e_shoff = static_cast<uint32_t>(i.size()); })},
    {"e_shoff 0 with sections", 0xBAD00020, Hdr([](ElfHeader& h, const Bytes&) { h.e_shoff = 0; })},
    {"e_shstrndx = e_shnum", 0xBAD00021, Hdr([](ElfHeader& h, const Bytes&) { h.e_shstrndx = h.e_shnum; })},
    {"program headers past the end", 0xBAD00022, Hdr([](ElfHeader& h, const Bytes&) { h.e_phnum = 1000; })},
    {"e_phentsize 16", 0xBAD00022, Hdr([](ElfHeader& h, const Bytes&) { h.e_phentsize = 16; })},
    {"section headers past the end", 0xBAD00023, Hdr([](ElfHeader& h, const Bytes&) { h.e_shnum++; })},
    {"e_shentsize 20", 0xBAD00023, Hdr([](ElfHeader& h, const Bytes&) { h.e_shentsize = 20; })},
    // Placement of sections.
    {"section inside the ELF header", 0xBAD00024,
     Sec(&Base::text, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_offset = 8; })},
    {"section inside the program headers", 0xBAD00026,
     Sec(&Base::text, [](SectionHeader& s, const Base&, const Bytes& i) { s.sh_offset = ReadHeader(i).e_phoff + 8; })},
    {"section inside the section headers", 0xBAD00027,
     Sec(&Base::text, [](SectionHeader& s, const Base&, const Bytes& i) { s.sh_offset = ReadHeader(i).e_shoff + 4; })},
    {"section starts inside a later one", 0xBAD00028,
     Sec(&Base::text, [](SectionHeader& s, const Base& b, const Bytes& i) {
       s.sh_offset = ReadSection(i, b.data).sh_offset + 2;
     })},
    {"section starts inside an earlier one", 0,
     Sec(&Base::data, [](SectionHeader& s, const Base& b, const Bytes& i) {
       s.sh_offset = ReadSection(i, b.text).sh_offset + 2;
     })},
    {"first failing section decides: 28 before a later 24", 0xBAD00028,
     Both(Sec(&Base::text, [](SectionHeader& s, const Base& b, const Bytes& i) {
            s.sh_offset = ReadSection(i, b.comment).sh_offset + 1;
          }),
          Sec(&Base::data, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_offset = 8; }))},
    {"first failing section decides: 24 before a later 28", 0xBAD00024,
     Both(Sec(&Base::text, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_offset = 8; }),
          Sec(&Base::data, [](SectionHeader& s, const Base& b, const Bytes& i) {
            s.sh_offset = ReadSection(i, b.comment).sh_offset + 1;
          }))},
    {"NOBITS section in the header passes", 0,
     Sec(&Base::bss, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_offset = 0; })},
    {"empty section in the header passes", 0, Sec(&Base::comment, [](SectionHeader& s, const Base&, const Bytes&) {
       s.sh_offset = 0;
       s.sh_size = 0;
     })},
    // Program headers.
    {"program header starts inside a later one", 0xBAD00032,
     Phdr(0, [](ProgramHeader& p, const Base&, const Bytes& i) { p.p_offset = ReadProgramHeader(i, 1).p_offset + 1; })},
    {"program header starts inside an earlier one", 0,
     Phdr(1, [](ProgramHeader& p, const Base&, const Bytes& i) { p.p_offset = ReadProgramHeader(i, 0).p_offset + 1; })},
    {"PT_NULL program headers are not compared", 0,
     Phdr(0, [](ProgramHeader& p, const Base&, const Bytes& i) {
       p.p_offset = ReadProgramHeader(i, 1).p_offset + 1;
       p.p_type = 0;
     })},
    // Extents.
    {"section runs past the end", 0xBAD00025,
     Sec(&Base::shstrtab, [](SectionHeader& s, const Base&, const Bytes& i) { s.sh_size = static_cast<uint32_t>(i.size()); })},
    {"section size wraps 32 bits", 0xBAD00025,
     Sec(&Base::shstrtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_size = 0xFFFFFFF0u; })},
    {"program header runs past the end", 0xBAD00029,
     Phdr(1, [](ProgramHeader& p, const Base&, const Bytes& i) { p.p_filesz = static_cast<uint32_t>(i.size()); })},
    // Section names.
    {"names section not a string table", 0xBAD0002A,
     Sec(&Base::shstrtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_type = 1; })},
    {"sh_name at the end of the names", 0xBAD0002B, Sec(&Base::data, [](SectionHeader& s, const Base& b, const Bytes& i) {
       s.sh_name = ReadSection(i, b.shstrtab).sh_size;
     })},
    {"size-prefixed names: size word limits", 0xBAD0002B,
     Both(Sec(&Base::shstrtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_flags |= SHF_SIZE_PREFIXED; }),
          FirstWord(&Base::shstrtab, 1))},
    {"size-prefixed names: large size word passes", 0,
     Both(Sec(&Base::shstrtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_flags |= SHF_SIZE_PREFIXED; }),
          FirstWord(&Base::shstrtab, 0x10000))},
    {"size-prefixed names without room for the word", 0xBAD0002B,
     Sec(&Base::shstrtab, [](SectionHeader& s, const Base&, const Bytes&) {
       s.sh_flags |= SHF_SIZE_PREFIXED;
       s.sh_size = 3;
     })},
    // Symbol tables.
    {"symtab link out of range", 0xBAD00001,
     Sec(&Base::symtab, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_link = b.shnum; })},
    {"symtab link not a string table", 0xBAD00002,
     Sec(&Base::symtab, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_link = b.text; })},
    {"symtab entry size 8", 0xBAD0002D, Sec(&Base::symtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_entsize = 8; })},
    {"symtab entry size 0 reads as 16", 0,
     Sec(&Base::symtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_entsize = 0; })},
    {"symtab smaller than one entry", 0xBAD00003,
     Sec(&Base::symtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_size = 8; })},
    {"symtab without string table: names not tested", 0,
     Both(Sec(&Base::symtab, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_link = 0; }),
          Sym(&Base::func_sym, [](ElfSymbol& s, const Base&) { s.st_name = 0xFFFFFF; }))},
    {"st_name at the end of the strings", 0xBAD00004, Sym(&Base::func_sym, [](ElfSymbol& s, const Base&) { s.st_name = 1000; })},
    {"st_shndx out of range", 0xBAD00005,
     Sym(&Base::notype_sym, [](ElfSymbol& s, const Base& b) { s.st_shndx = static_cast<uint16_t>(b.shnum); })},
    {"SHN_ABS passes", 0, Sym(&Base::notype_sym, [](ElfSymbol& s, const Base&) { s.st_shndx = SHN_ABS; })},
    {"SHN_COMMON passes", 0, Sym(&Base::notype_sym, [](ElfSymbol& s, const Base&) { s.st_shndx = SHN_COMMON; })},
    {"0xFF03 passes", 0, Sym(&Base::notype_sym, [](ElfSymbol& s, const Base&) { s.st_shndx = 0xFF03; })},
    {"section symbol with any index passes", 0,
     Sym(&Base::section_sym, [](ElfSymbol& s, const Base&) { s.st_shndx = 0x7000; })},
    {"file symbol with any index passes", 0, Sym(&Base::file_sym, [](ElfSymbol& s, const Base&) { s.st_shndx = 0x7000; })},
    {"object one byte past its section", 0xBAD00007, Sym(&Base::obj_sym, [](ElfSymbol& s, const Base&) { s.st_size = 5; })},
    {"object value at the section end, size 0", 0, Sym(&Base::obj_sym, [](ElfSymbol& s, const Base&) {
       s.st_value = 8;
       s.st_size = 0;
     })},
    {"object value past the section", 0xBAD00007, Sym(&Base::obj_sym, [](ElfSymbol& s, const Base&) {
       s.st_value = 9;
       s.st_size = 0;
     })},
    {"object below the section address", 0xBAD00007,
     Sec(&Base::data, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_addr = 0x100; })},
    {"object size wraps 32 bits", 0xBAD00007, Sym(&Base::obj_sym, [](ElfSymbol& s, const Base&) { s.st_size = 0xFFFFFFFEu; })},
    {"object in a non-allocated section is not ranged", 0,
     Both(Sec(&Base::data, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_flags = 0; }),
          Sym(&Base::obj_sym, [](ElfSymbol& s, const Base&) { s.st_size = 500; }))},
    {"object in a SHT_NULL section", 0xBAD00006,
     Sec(&Base::data, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_type = SHT_NULL; })},
    {"function past its section", 0xBAD00009, Sym(&Base::func_sym, [](ElfSymbol& s, const Base&) { s.st_size = 17; })},
    {"function in a SHT_NULL section", 0xBAD00008,
     Sec(&Base::text, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_type = SHT_NULL; })},
    // RELA tables.
    {"RELA entry size 8", 0xBAD0002E, Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_entsize = 8; })},
    {"RELA smaller than one entry", 0xBAD0000A, Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_size = 6; })},
    {"RELA link out of range", 0xBAD0000B,
     Sec(&Base::rela, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_link = b.shnum; })},
    {"RELA link 0 is accepted untested", 0,
     Both(Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_link = 0; }),
          RelocWord(&Base::rela, 1, 1, (999u << 8) | 1))},
    {"RELA link not a symbol table", 0xBAD0000C,
     Sec(&Base::rela, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_link = b.strtab; })},
    {"RELA symbol table entry size 8", 0xBAD0002F, PrefixSymtab([](SectionHeader& s) { s.sh_entsize = 8; })},
    {"RELA target out of range", 0xBAD0000D,
     Sec(&Base::rela, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_info = b.shnum; })},
    {"RELA symbol index out of range", 0xBAD0000F, RelocWord(&Base::rela, 1, 1, (6u << 8) | 1)},
    {"RELA type 0 takes any symbol index", 0, RelocWord(&Base::rela, 1, 1, (999u << 8) | 0)},
    {"RELA against a size-prefixed symtab counts from the size word", 0xBAD0000F, PrefixSymtab()},
    {"RELA against a size-prefixed symtab, large size word", 0, Both(PrefixSymtab(), FirstWord(&Base::symtab, 128))},
    {"RELA for the null section with a zero first entry", 0,
     Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_info = 0; })},
    {"RELA for the null section with a non-zero first entry", 0xBAD0000E,
     Both(Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_info = 0; }), RelocWord(&Base::rela, 0, 2, 1))},
    {"RELA for the null section, word test needs entry size of 4n", 0xBAD0000E,
     Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) {
       s.sh_info = 0;
       s.sh_entsize = 14;
     })},
    {"RELA for the null section, byte test takes any entry size", 0,
     Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) {
       s.sh_info = 0;
       s.sh_entsize = 14;
       s.sh_addralign = 2;
     })},
    // REL tables.
    {"REL entry size 4", 0xBAD00030, Sec(&Base::rel, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_entsize = 4; })},
    {"REL smaller than one entry", 0xBAD00011, Sec(&Base::rel, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_size = 4; })},
    {"REL link out of range", 0xBAD00012,
     Sec(&Base::rel, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_link = b.shnum; })},
    {"REL link 0", 0xBAD00013, Sec(&Base::rel, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_link = 0; })},
    {"REL link not a symbol table", 0xBAD00013,
     Sec(&Base::rel, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_link = b.strtab; })},
    {"REL symbol table entry size 8", 0xBAD00031,
     Both(PrefixSymtab([](SectionHeader& s) { s.sh_entsize = 8; }),
          Sec(&Base::rela, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_link = 0; }))},
    {"REL target out of range", 0xBAD00014,
     Sec(&Base::rel, [](SectionHeader& s, const Base& b, const Bytes&) { s.sh_info = b.shnum; })},
    {"REL symbol index out of range even with type 0", 0xBAD00016, RelocWord(&Base::rel, 1, 1, 6u << 8)},
    {"REL offset at the end of the target", 0xBAD00017, RelocWord(&Base::rel, 1, 0, 8)},
    {"REL offset inside the target", 0, RelocWord(&Base::rel, 1, 0, 7)},
    {"REL for the null section with a zero first entry", 0,
     Sec(&Base::rel, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_info = 0; })},
    {"REL for the null section with a non-zero first entry", 0xBAD00015,
     Both(Sec(&Base::rel, [](SectionHeader& s, const Base&, const Bytes&) { s.sh_info = 0; }), RelocWord(&Base::rel, 0, 1, 1))},
};

TEST(ParseElfImage, MalformedObjectCatalogue) {
  for (bool big : {false, true}) {
    for (const Row& row : kCatalogue) {
      Base base = MakeBase(big);
      row.damage(base.image, base);
      uint32_t code = ParseElfImage(base.image.data(), static_cast<uint32_t>(base.image.size()));
      EXPECT_EQ(code, row.code) << row.defect << (big ? " (big-endian)" : " (little-endian)") << ": got 0x"
                                << std::hex << code;
    }
  }
}

// After parsing, a big-endian object holds exactly the records of the same
// object built little-endian, except e_ident and the contents that are not
// converted; a table for the null section is emptied in place.
TEST(ParseElfImage, BigEndianImageIsConvertedInPlace) {
  for (uint8_t ei_data : {2, 0}) {
    Base le = MakeBase(false);
    Base be = MakeBase(true);
    be.image[EI_DATA] = ei_data;
    ASSERT_EQ(le.image.size(), be.image.size());
    Bytes original = be.image;
    ASSERT_EQ(ParseElfImage(le.image.data(), static_cast<uint32_t>(le.image.size())), 0u);
    ASSERT_EQ(ParseElfImage(be.image.data(), static_cast<uint32_t>(be.image.size())), 0u);
    EXPECT_EQ(be.image[EI_DATA], ei_data);
    EXPECT_EQ(0, std::memcmp(be.image.data(), original.data(), 16)) << "e_ident changed";

    ElfHeader hl = LoadAt<ElfHeader>(le.image.data());
    ElfHeader hb = LoadAt<ElfHeader>(be.image.data());
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<uint8_t*>(&hl) + 16, reinterpret_cast<uint8_t*>(&hb) + 16, 36));
    // Section 0 stays as stored; the null section is all zeros anyway.
    for (uint32_t i = 0; i < hl.e_shnum; ++i) {
      size_t at = hl.e_shoff + i * kSectionHeaderSize;
      EXPECT_EQ(0, std::memcmp(le.image.data() + at, be.image.data() + at, kSectionHeaderSize)) << "section " << i;
    }
    for (uint32_t i = 0; i < hl.e_phnum; ++i) {
      size_t at = hl.e_phoff + i * kProgramHeaderSize;
      EXPECT_EQ(0, std::memcmp(le.image.data() + at, be.image.data() + at, kProgramHeaderSize)) << "phdr " << i;
    }
    for (uint32_t index : {le.symtab, le.rela, le.rel}) {
      SectionHeader s = LoadAt<SectionHeader>(le.image.data() + hl.e_shoff + index * kSectionHeaderSize);
      EXPECT_EQ(0, std::memcmp(le.image.data() + s.sh_offset, be.image.data() + s.sh_offset, s.sh_size)) << index;
    }
    // Contents that are not tables stay in the file's order.
    SectionHeader data = LoadAt<SectionHeader>(be.image.data() + hb.e_shoff + be.data * kSectionHeaderSize);
    EXPECT_EQ(0, std::memcmp(be.image.data() + data.sh_offset, original.data() + data.sh_offset, data.sh_size));
    EXPECT_EQ((ElfImage{be.image.data(), static_cast<uint32_t>(be.image.size())}.SectionName(be.data)), ".data");
  }
}

TEST(ParseElfImage, TablesThatAreNotValidatedAreNotConverted) {
  // A RELA table without a symbol table and a size-prefixed symbol table keep
  // their big-endian entries; the null-section REL table is emptied.
  Base be = MakeBase(true);
  PatchSection(be.image, be.rela, [](SectionHeader& s) { s.sh_link = 0; });
  PatchSection(be.image, be.rel, [](SectionHeader& s) { s.sh_info = 0; });
  PatchSection(be.image, be.symtab, [](SectionHeader& s) { s.sh_flags |= SHF_SIZE_PREFIXED; });
  Bytes original = be.image;
  ASSERT_EQ(ParseElfImage(be.image.data(), static_cast<uint32_t>(be.image.size())), 0u);
  ElfImage image{be.image.data(), static_cast<uint32_t>(be.image.size())};
  for (uint32_t index : {be.rela, be.symtab, be.rel}) {
    SectionHeader s = *image.Section(index);
    EXPECT_EQ(0, std::memcmp(be.image.data() + s.sh_offset, original.data() + s.sh_offset, ReadSection(original, index).sh_size))
        << index;
  }
  EXPECT_EQ(image.Section(be.rel)->sh_size, 0u);
  EXPECT_EQ(image.Section(be.rela)->sh_size, 24u);
}

TEST(ElfImage, AccessorsStayInsideTheImage) {
  Base b = MakeBase(false);
  PatchSection(b.image, b.symtab, [](SectionHeader& s) { s.sh_link = 0; });
  ASSERT_EQ(ParseElfImage(b.image.data(), static_cast<uint32_t>(b.image.size())), 0u);
  ElfImage image{b.image.data(), static_cast<uint32_t>(b.image.size())};
  EXPECT_EQ(image.SectionName(b.text), ".text");
  EXPECT_FALSE(image.Section(b.shnum));
  EXPECT_FALSE(image.StringAt(0, 0)) << "a symbol table linked to section 0 has no names";
  EXPECT_EQ(image.StringAt(b.strtab, 1), "t.c");
  uint32_t strtab_size = image.Section(b.strtab)->sh_size;
  EXPECT_FALSE(image.StringAt(b.strtab, strtab_size));
  // An unterminated last string is not returned.
  b.image[image.Section(b.strtab)->sh_offset + strtab_size - 1] = 'x';
  EXPECT_FALSE(image.StringAt(b.strtab, strtab_size - 2));
  SectionHeader symtab = *image.Section(b.symtab);
  uint32_t count = symtab.sh_size / kSymbolSize;
  EXPECT_NE(image.Entry(symtab, kSymbolSize, count - 1, kSymbolSize), nullptr);
  EXPECT_EQ(image.Entry(symtab, kSymbolSize, count, kSymbolSize), nullptr);
  EXPECT_EQ(image.Entry(symtab, 8, 0, kSymbolSize), nullptr);
  symtab.sh_offset = image.size - 8;
  EXPECT_EQ(image.Entry(symtab, kSymbolSize, 0, kSymbolSize), nullptr);
  ElfImage tiny{b.image.data(), 20};
  EXPECT_EQ(tiny.SectionCount(), 0u);
  EXPECT_FALSE(tiny.Section(1));
}

TEST(ParseElfImage, AcceptsRealCompilerOutput) {
  TempDir dir;
  struct Build { const char* flags; } builds[] = {
      {"-O0"}, {"-O2 -ffunction-sections -fdata-sections"}, {"-g -fcommon"}, {"-fPIC -O1"}};
  int n = 0;
  for (const Build& build : builds) {
    std::string object = "s" + std::to_string(n++) + ".o";
    if (!elftest::CompileM32(dir, "s", elftest::SampleSource("s"), object, build.flags)) GTEST_SKIP() << elftest::kGccSkipReason;
    Bytes bytes = ReadFile(dir.File(object));
    EXPECT_EQ(ParseElfImage(bytes.data(), static_cast<uint32_t>(bytes.size())), 0u) << build.flags;
    ElfImage image{bytes.data(), static_cast<uint32_t>(bytes.size())};
    bool has_text = false;
    for (uint32_t i = 1; i < image.SectionCount(); ++i) {
      if (auto name = image.SectionName(i); name && name->starts_with(".text")) has_text = true;
    }
    EXPECT_TRUE(has_text) << build.flags;
  }
}

TEST(ParseElfImage, AcceptsAnObjectWithThousandsOfSections) {
  TempDir dir;
  std::string source = "int shared;\n";
  for (int i = 0; i < 1200; ++i) source += "int f" + std::to_string(i) + "(void) { return shared + " + std::to_string(i) + "; }\n";
  if (!elftest::CompileM32(dir, "many", source, "many.o", "-ffunction-sections")) GTEST_SKIP() << elftest::kGccSkipReason;
  Bytes bytes = ReadFile(dir.File("many.o"));
  ASSERT_GT(ReadHeader(bytes).e_shnum, 2400);
  EXPECT_EQ(ParseElfImage(bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
}

// ---- The placement checks against the plain pairwise rule ----

struct Layout {
  uint32_t length = 0;
  uint16_t ehsize = 52;
  uint32_t phoff = 0, shoff = 0;
  std::vector<SectionHeader> sections;  // index 0 included
  std::vector<ProgramHeader> programs;
};

// Steps 2 and 3 exactly as stated: for each section in order the header,
// program-table, section-table and later-section tests; then every pair of
// program headers.
uint32_t ReferencePlacement(const Layout& l) {
  auto eligible = [](const SectionHeader& s) { return s.sh_size != 0 && s.sh_type != SHT_NOBITS; };
  uint64_t ph_end = l.phoff + uint64_t{l.programs.size()} * kProgramHeaderSize;
  uint64_t sh_end = l.shoff + uint64_t{l.sections.size()} * kSectionHeaderSize;
  for (size_t i = 1; i < l.sections.size(); ++i) {
    const SectionHeader& s = l.sections[i];
    if (!eligible(s)) continue;
    if (s.sh_offset < l.ehsize) return 0xBAD00024;
    if (l.phoff != 0 && !l.programs.empty() && s.sh_offset >= l.phoff && s.sh_offset < ph_end) return 0xBAD00026;
    if (s.sh_offset >= l.shoff && s.sh_offset < sh_end) return 0xBAD00027;
    for (size_t j = i + 1; j < l.sections.size(); ++j) {
      const SectionHeader& t = l.sections[j];
      if (eligible(t) && s.sh_offset >= t.sh_offset && s.sh_offset < uint64_t{t.sh_offset} + t.sh_size) return 0xBAD00028;
    }
  }
  for (size_t i = 0; i < l.programs.size(); ++i) {
    for (size_t j = i + 1; j < l.programs.size(); ++j) {
      const ProgramHeader& p = l.programs[i];
      const ProgramHeader& q = l.programs[j];
      if (p.p_filesz == 0 || p.p_type == 0 || q.p_filesz == 0 || q.p_type == 0) continue;
      if (p.p_offset >= q.p_offset && p.p_offset < uint64_t{q.p_offset} + q.p_filesz) return 0xBAD00032;
    }
  }
  return 0;
}

// An image holding only the header and the two tables; every content lies
// inside the length and no section has a name, so a parse ends after the
// placement and extent checks.
Bytes BuildLayout(const Layout& l, bool big) {
  Bytes image(l.length, 0);
  ElfHeader h{};
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, static_cast<uint8_t>(big ? 2 : 1), 1};
  std::memcpy(h.e_ident, ident, sizeof ident);
  h.e_type = ET_REL;
  h.e_machine = 3;
  h.e_version = 1;
  h.e_ehsize = l.ehsize;
  h.e_phoff = l.programs.empty() ? 0 : l.phoff;
  h.e_phnum = static_cast<uint16_t>(l.programs.size());
  h.e_phentsize = kProgramHeaderSize;
  h.e_shoff = l.shoff;
  h.e_shnum = static_cast<uint16_t>(l.sections.size());
  h.e_shentsize = kSectionHeaderSize;
  for (size_t i = 0; i < l.sections.size(); ++i) {
    SectionHeader s = l.sections[i];
    if (big) SwapSectionHeader(s);
    std::memcpy(image.data() + l.shoff + i * kSectionHeaderSize, &s, sizeof s);
  }
  for (size_t i = 0; i < l.programs.size(); ++i) {
    ProgramHeader p = l.programs[i];
    if (big) SwapProgramHeader(p);
    std::memcpy(image.data() + l.phoff + i * kProgramHeaderSize, &p, sizeof p);
  }
  if (big) SwapElfHeader(h);
  std::memcpy(image.data(), &h, sizeof h);
  return image;
}

// Random extents inside [0, limit): mostly disjoint runs with gaps, then a
// few starts moved into others, duplicated, emptied or made NOBITS.
template <class Record, class Make>
std::vector<Record> RandomExtents(std::mt19937& rng, size_t count, uint32_t begin, uint32_t limit, Make make) {
  std::vector<Record> out;
  std::uniform_int_distribution<uint32_t> small(0, 24);
  uint32_t cursor = begin;
  std::vector<std::pair<uint32_t, uint32_t>> extents;
  for (size_t i = 0; i < count; ++i) {
    uint32_t size = small(rng);
    uint32_t offset = cursor + small(rng) % 3;
    if (offset + size > limit) offset = begin, size = 0;
    extents.push_back({offset, size});
    cursor = offset + size;
  }
  if (rng() % 3 == 0) std::shuffle(extents.begin(), extents.end(), rng);
  size_t edits = rng() % 4;
  for (size_t e = 0; e < edits && !extents.empty(); ++e) {
    auto& victim = extents[rng() % extents.size()];
    const auto& other = extents[rng() % extents.size()];
    switch (rng() % 4) {
      case 0: victim.first = other.first + (other.second ? rng() % other.second : 0); break;  // start inside
      case 1: victim = other; break;                                                        // duplicate
      case 2: victim.second = 0; break;                                                     // empty
      default: victim.first = rng() % limit; victim.second = std::min<uint32_t>(victim.second, limit - victim.first);
    }
  }
  for (auto [offset, size] : extents) {
    offset = std::min(offset, limit - 1);
    out.push_back(make(offset, std::min(size, limit - offset), rng() % 7 == 0));
  }
  return out;
}

TEST(ParseElfImage, PlacementChecksMatchThePairwiseRule) {
  std::mt19937 rng(20240611);
  int decided[4] = {0, 0, 0, 0};  // 0, section codes, 0x32, other
  for (int iteration = 0; iteration < 4000; ++iteration) {
    Layout l;
    l.length = 4096;
    l.ehsize = rng() % 5 == 0 ? 100 : 52;
    size_t sections = 1 + rng() % 40;
    size_t programs = rng() % 2 == 0 ? 0 : 1 + rng() % 12;
    l.phoff = rng() % 6 == 0 ? 200 : 120;
    l.shoff = 4096 - 64 * kSectionHeaderSize;
    // Content mostly between the tables, sometimes reaching into them or the header.
    uint32_t low = rng() % 8 == 0 ? 0 : 600;
    uint32_t high = rng() % 8 == 0 ? 4096 : l.shoff;
    l.sections.push_back(SectionHeader{});
    for (const SectionHeader& s : RandomExtents<SectionHeader>(rng, sections - 1, low, high,
                                                              [](uint32_t offset, uint32_t size, bool nobits) {
                                                                SectionHeader s{};
                                                                s.sh_type = nobits ? SHT_NOBITS : 1;
                                                                s.sh_offset = offset;
                                                                s.sh_size = size;
                                                                return s;
                                                              })) {
      l.sections.push_back(s);
    }
    l.programs = RandomExtents<ProgramHeader>(rng, programs, 600, l.shoff, [](uint32_t offset, uint32_t size, bool null) {
      ProgramHeader p{};
      p.p_type = null ? 0 : 1;
      p.p_offset = offset;
      p.p_filesz = size;
      return p;
    });
    uint32_t expected = ReferencePlacement(l);
    bool big = rng() % 2 == 0;
    Bytes image = BuildLayout(l, big);
    uint32_t code = ParseElfImage(image.data(), l.length);
    ASSERT_EQ(code, expected) << "iteration " << iteration << " big " << big;
    decided[expected == 0 ? 0 : expected == 0xBAD00032 ? 2 : expected >= 0xBAD00024 && expected <= 0xBAD00028 ? 1 : 3]++;
  }
  // The random layouts must reach every outcome often enough to mean something.
  EXPECT_GT(decided[0], 400);
  EXPECT_GT(decided[1], 400);
  EXPECT_GT(decided[2], 200);
}

TEST(ParseElfImage, PlacementOfTheLargestSectionCountIsFast) {
  // 65535 disjoint sections; then the first one moved into the last one.
  Layout l;
  l.sections.push_back(SectionHeader{});
  uint32_t offset = 64;
  for (int i = 1; i < 65535; ++i) {
    SectionHeader s{};
    s.sh_type = 1;
    s.sh_offset = offset;
    s.sh_size = 4;
    offset += 4;
    l.sections.push_back(s);
  }
  l.shoff = offset;
  l.length = offset + 65535 * kSectionHeaderSize;
  Bytes image = BuildLayout(l, false);
  EXPECT_EQ(ParseElfImage(image.data(), l.length), 0u);
  l.sections[1].sh_offset = l.sections.back().sh_offset + 3;
  image = BuildLayout(l, true);
  EXPECT_EQ(ParseElfImage(image.data(), l.length), 0xBAD00028u);
}

}  // namespace
