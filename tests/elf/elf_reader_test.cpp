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
// RELA and a REL table (each beginning with an all-zero entry), a COMDAT
// group of .text and .data, and two program headers covering .text and .data. Under extended numbering the
// count and the name table's index are in section 0, and the section,
// function and object symbols take their index from ".symtab_shndx".
struct Base {
  Bytes image;
  uint32_t text, data, bss, comment, rela, rel, group, symtab, strtab, shstrtab, shnum, shndx;
  uint32_t file_sym, section_sym, func_sym, obj_sym, notype_sym;
};

Base MakeBase(bool big, bool extended = false) {
  Base b{};
  ElfBuilder e(big);
  if (extended) e.UseExtendedNumbering();
  auto in = [&](uint32_t section) {  // st_shndx and xindex for a symbol in `section`
    return std::pair{extended ? SHN_XINDEX : static_cast<uint16_t>(section), extended ? section : 0};
  };
  b.text = e.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0x90));
  b.data = e.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  b.bss = e.AddNobits(".bss", SHF_ALLOC | SHF_WRITE, 32);
  b.comment = e.AddProgbits(".comment", 0, Bytes{'h', 'e', 'l', 'l', 'o', 0});
  b.file_sym = e.AddSymbol({"t.c", 0, 0, Info(0, STT_FILE), 0, SHN_ABS});
  b.section_sym = e.AddSymbol({"", 0, 0, Info(0, STT_SECTION), 0, in(b.text).first, in(b.text).second});
  b.func_sym = e.AddSymbol({"f", 0, 16, Info(STB_GLOBAL, STT_FUNC), 0, in(b.text).first, in(b.text).second});
  b.obj_sym = e.AddSymbol({"x", 4, 4, Info(STB_GLOBAL, STT_OBJECT), 0, in(b.data).first, in(b.data).second});
  b.notype_sym = e.AddGlobal("u", 0, 0, 0, 0);
  b.rela = e.AddRelocations(b.text, true, {{0, 0, 0, 0}, {0, b.func_sym, 1, 0}});
  b.rel = e.AddRelocations(b.data, false, {{0, 0, 0, 0}, {4, b.obj_sym, 1, 0}});
  testsupport::SectionDesc group{".group", SHT_GROUP, 0, Bytes(12, 0)};
  Put32(group.data, 0, GRP_COMDAT, big);
  Put32(group.data, 4, b.text, big);
  Put32(group.data, 8, b.data, big);
  group.link = kLinkSymtab;
  group.info = b.func_sym;
  group.entsize = 4;
  b.group = e.AddSection(group);
  ProgramHeader placeholder{};
  placeholder.p_type = 1;
  e.AddProgramHeader(placeholder);
  e.AddProgramHeader(placeholder);
  b.symtab = e.SymtabIndex();
  b.strtab = e.StrtabIndex();
  b.shstrtab = e.ShstrtabIndex();
  b.shndx = extended ? e.SymtabShndxIndex() : 0;
  b.image = e.Build();
  b.shnum = extended ? ReadSection(b.image, 0).sh_size : ReadHeader(b.image).e_shnum;
  SectionHeader text = ReadSection(b.image, b.text);
  SectionHeader data = ReadSection(b.image, b.data);
  PatchProgramHeader(b.image, 0, [&](ProgramHeader& p) { p.p_offset = text.sh_offset; p.p_filesz = text.sh_size; });
  PatchProgramHeader(b.image, 1, [&](ProgramHeader& p) { p.p_offset = data.sh_offset; p.p_filesz = data.sh_size; });
  return b;
}

using Damage = std::function<void(Bytes&, const Base&)>;

// Row helpers: each edits one record in the file's own byte order. `b` is
// the base's index table, `i` the image before the edit.
#define HDR(...) [](Bytes& img, const Base&) { PatchHeader(img, [&](ElfHeader& h) { const Bytes& i = img; (void)i; __VA_ARGS__; }); }
#define SEC(which, ...) [](Bytes& img, const Base& b) { \
    PatchSection(img, b.which, [&](SectionHeader& s) { const Bytes& i = img; (void)i; __VA_ARGS__; }); }
#define SYM(which, ...) [](Bytes& img, const Base& b) { PatchSymbol(img, b.symtab, b.which, [&](ElfSymbol& s) { __VA_ARGS__; }); }
#define PHDR(index, ...) [](Bytes& img, const Base&) { \
    PatchProgramHeader(img, index, [&](ProgramHeader& p) { const Bytes& i = img; (void)i; __VA_ARGS__; }); }

// Word `word` of entry `entry` of section `which` (0, 0 is the first content word).
Damage Word(uint32_t Base::*which, uint32_t entry, uint32_t word, uint32_t value) {
  return [=](Bytes& image, const Base& b) {
    SectionHeader s = ReadSection(image, b.*which);
    Put32(image, s.sh_offset + entry * s.sh_entsize + word * 4, value, IsBigEndian(image));
  };
}
Damage Both(Damage a, Damage c) {
  return [a, c](Bytes& image, const Base& b) { a(image, b); c(image, b); };
}
uint32_t OffsetOf(const Bytes& i, uint32_t index) { return ReadSection(i, index).sh_offset; }
constexpr uint32_t kPrefixed = SHF_SIZE_PREFIXED;

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
    {"e_machine 0", 0xBAD0001C, HDR(h.e_machine = 0)},
    {"e_version 2", 0xBAD0001D, HDR(h.e_version = 2)},
    {"e_ehsize 40", 0xBAD0002C, HDR(h.e_ehsize = 40)},
    {"e_ehsize 0 reads as 52", 0, HDR(h.e_ehsize = 0)},
    {"e_ehsize reaches length - 208", 0xBAD0001E, HDR(h.e_ehsize = static_cast<uint16_t>(i.size() - 208))},
    {"e_phoff inside the header", 0xBAD0001F, HDR(h.e_phoff = 20)},
    {"e_phoff at the end", 0xBAD0001F, HDR(h.e_phoff = static_cast<uint32_t>(i.size()))},
    {"e_phoff 0 with program headers", 0xBAD0001F, HDR(h.e_phoff = 0)},
    {"e_shoff inside the header", 0xBAD00020, HDR(h.e_shoff = 51)},
    {"e_shoff at the end", 0xBAD00020, HDR(h.e_shoff = static_cast<uint32_t>(i.size()))},
    {"e_shoff 0 with sections", 0xBAD00020, HDR(h.e_shoff = 0)},
    {"e_shstrndx = e_shnum", 0xBAD00021, HDR(h.e_shstrndx = h.e_shnum)},
    {"program headers past the end", 0xBAD00022, HDR(h.e_phnum = 1000)},
    {"e_phentsize 16", 0xBAD00022, HDR(h.e_phentsize = 16)},
    {"section headers past the end", 0xBAD00023, HDR(h.e_shnum++)},
    {"e_shentsize 20", 0xBAD00023, HDR(h.e_shentsize = 20)},
    // Placement: for each section in turn 24, 26, 27, 28; the first failing section decides.
    {"section inside the ELF header", 0xBAD00024, SEC(text, s.sh_offset = 8)},
    {"section inside the program headers", 0xBAD00026, SEC(text, s.sh_offset = ReadHeader(i).e_phoff + 8)},
    {"section inside the section headers", 0xBAD00027, SEC(text, s.sh_offset = ReadHeader(i).e_shoff + 4)},
    {"section starts inside a later one", 0xBAD00028, SEC(text, s.sh_offset = OffsetOf(i, b.data) + 2)},
    {"section starts inside an earlier one", 0, SEC(data, s.sh_offset = OffsetOf(i, b.text) + 2)},
    {"28 of section 1 before 24 of section 2", 0xBAD00028,
     Both(SEC(text, s.sh_offset = OffsetOf(i, b.comment) + 1), SEC(data, s.sh_offset = 8))},
    {"24 of section 1 before 28 of section 2", 0xBAD00024,
     Both(SEC(text, s.sh_offset = 8), SEC(data, s.sh_offset = OffsetOf(i, b.comment) + 1))},
    {"NOBITS and empty sections are not placed", 0, Both(SEC(bss, s.sh_offset = 0), SEC(comment, s.sh_offset = 0; s.sh_size = 0))},
    {"program header starts inside a later one", 0xBAD00032, PHDR(0, p.p_offset = ReadProgramHeader(i, 1).p_offset + 1)},
    {"program header starts inside an earlier one", 0, PHDR(1, p.p_offset = ReadProgramHeader(i, 0).p_offset + 1)},
    {"PT_NULL program headers are not compared", 0, PHDR(0, p.p_offset = ReadProgramHeader(i, 1).p_offset + 1; p.p_type = 0)},
    // Extents.
    {"section runs past the end", 0xBAD00025, SEC(shstrtab, s.sh_size = static_cast<uint32_t>(i.size()))},
    {"section size wraps 32 bits", 0xBAD00025, SEC(shstrtab, s.sh_size = 0xFFFFFFF0u)},
    {"program header runs past the end", 0xBAD00029, PHDR(1, p.p_filesz = static_cast<uint32_t>(i.size()))},
    // Section names; a size-prefixed table is limited by its size word.
    {"names section not a string table", 0xBAD0002A, SEC(shstrtab, s.sh_type = 1)},
    {"sh_name at the end of the names", 0xBAD0002B, SEC(data, s.sh_name = ReadSection(i, b.shstrtab).sh_size)},
    {"size word of the names limits", 0xBAD0002B, Both(SEC(shstrtab, s.sh_flags |= kPrefixed), Word(&Base::shstrtab, 0, 0, 1))},
    {"large size word of the names", 0, Both(SEC(shstrtab, s.sh_flags |= kPrefixed), Word(&Base::shstrtab, 0, 0, 0x10000))},
    {"names too short for a size word", 0xBAD0002B, SEC(shstrtab, s.sh_flags |= kPrefixed; s.sh_size = 3)},
    // Symbol tables.
    {"symtab link out of range", 0xBAD00001, SEC(symtab, s.sh_link = b.shnum)},
    {"symtab link not a string table", 0xBAD00002, SEC(symtab, s.sh_link = b.text)},
    {"symtab entry size 8", 0xBAD0002D, SEC(symtab, s.sh_entsize = 8)},
    {"symtab entry size 0 reads as 16", 0, SEC(symtab, s.sh_entsize = 0)},
    {"symtab smaller than one entry", 0xBAD00003, SEC(symtab, s.sh_size = 8)},
    {"symtab without string table: names not tested", 0, Both(SEC(symtab, s.sh_link = 0), SYM(func_sym, s.st_name = 0xFFFFFF))},
    {"st_name at the end of the strings", 0xBAD00004, SYM(func_sym, s.st_name = 1000)},
    {"st_name equal to the strings' size", 0xBAD00004,
     [](Bytes& img, const Base& b) {
       const uint32_t size = ReadSection(img, b.strtab).sh_size;
       PatchSymbol(img, b.symtab, b.func_sym, [&](ElfSymbol& s) { s.st_name = size; });
     }},
    {"st_shndx out of range", 0xBAD00005, SYM(notype_sym, s.st_shndx = static_cast<uint16_t>(b.shnum))},
    {"reserved st_shndx passes", 0, SYM(notype_sym, s.st_shndx = 0xFF03)},
    {"section and file symbols take any index", 0,
     Both(SYM(section_sym, s.st_shndx = 0x7000), SYM(file_sym, s.st_shndx = 0x7000))},
    {"object one byte past its section", 0xBAD00007, SYM(obj_sym, s.st_size = 5)},
    {"object value at the section end, size 0", 0, SYM(obj_sym, s.st_value = 8; s.st_size = 0)},
    {"object value past the section", 0xBAD00007, SYM(obj_sym, s.st_value = 9; s.st_size = 0)},
    {"object below the section address", 0xBAD00007, SEC(data, s.sh_addr = 0x100)},
    {"object size wraps 32 bits", 0xBAD00007, SYM(obj_sym, s.st_size = 0xFFFFFFFEu)},
    {"object in a non-allocated section is not ranged", 0, Both(SEC(data, s.sh_flags = 0), SYM(obj_sym, s.st_size = 500))},
    {"object in a SHT_NULL section", 0xBAD00006, SEC(data, s.sh_type = SHT_NULL)},
    {"function past its section", 0xBAD00009, SYM(func_sym, s.st_size = 17)},
    {"function in a SHT_NULL section", 0xBAD00008, SEC(text, s.sh_type = SHT_NULL)},
    // RELA tables (.rela.text comes before .rel.data).
    {"RELA entry size 8", 0xBAD0002E, SEC(rela, s.sh_entsize = 8)},
    {"RELA smaller than one entry", 0xBAD0000A, SEC(rela, s.sh_size = 6)},
    {"RELA link out of range", 0xBAD0000B, SEC(rela, s.sh_link = b.shnum)},
    {"RELA link 0 is accepted untested", 0, Both(SEC(rela, s.sh_link = 0), Word(&Base::rela, 1, 1, (999u << 8) | 1))},
    {"RELA link not a symbol table", 0xBAD0000C, SEC(rela, s.sh_link = b.strtab)},
    {"RELA symbol table entry size 8", 0xBAD0002F, SEC(symtab, s.sh_flags |= kPrefixed; s.sh_entsize = 8)},
    {"RELA target out of range", 0xBAD0000D, SEC(rela, s.sh_info = b.shnum)},
    {"RELA symbol index out of range", 0xBAD0000F, Word(&Base::rela, 1, 1, (6u << 8) | 1)},
    {"RELA type 0 takes any symbol index", 0, Word(&Base::rela, 1, 1, 999u << 8)},
    {"RELA symbols counted from a size word of 0", 0xBAD0000F, SEC(symtab, s.sh_flags |= kPrefixed)},
    {"RELA symbols counted from a size word of 128", 0, Both(SEC(symtab, s.sh_flags |= kPrefixed), Word(&Base::symtab, 0, 0, 128))},
    {"RELA for the null section, zero first entry", 0, SEC(rela, s.sh_info = 0)},
    {"RELA for the null section, non-zero first entry", 0xBAD0000E, Both(SEC(rela, s.sh_info = 0), Word(&Base::rela, 0, 2, 1))},
    {"RELA for the null section, word test needs entry size 4n", 0xBAD0000E, SEC(rela, s.sh_info = 0; s.sh_entsize = 14)},
    {"RELA for the null section, byte test takes any size", 0,
     SEC(rela, s.sh_info = 0; s.sh_entsize = 14; s.sh_addralign = 2)},
    // REL tables.
    {"REL entry size 4", 0xBAD00030, SEC(rel, s.sh_entsize = 4)},
    {"REL smaller than one entry", 0xBAD00011, SEC(rel, s.sh_size = 4)},
    {"REL link out of range", 0xBAD00012, SEC(rel, s.sh_link = b.shnum)},
    {"REL link 0", 0xBAD00013, SEC(rel, s.sh_link = 0)},
    {"REL link not a symbol table", 0xBAD00013, SEC(rel, s.sh_link = b.strtab)},
    {"REL symbol table entry size 8", 0xBAD00031,
     Both(SEC(symtab, s.sh_flags |= kPrefixed; s.sh_entsize = 8), SEC(rela, s.sh_link = 0))},
    {"REL target out of range", 0xBAD00014, SEC(rel, s.sh_info = b.shnum)},
    {"REL symbol index out of range even with type 0", 0xBAD00016, Word(&Base::rel, 1, 1, 6u << 8)},
    {"REL offset at the end of the target", 0xBAD00017, Word(&Base::rel, 1, 0, 8)},
    {"REL offset inside the target", 0, Word(&Base::rel, 1, 0, 7)},
    {"REL for the null section, zero first entry", 0, SEC(rel, s.sh_info = 0)},
    {"REL for the null section, non-zero first entry", 0xBAD00015, Both(SEC(rel, s.sh_info = 0), Word(&Base::rel, 0, 1, 1))},
    // Section groups: a flag word and members, each a section.
    {"group member 0", 0xBAD00005, Word(&Base::group, 0, 2, 0)},
    {"group member equal to the section count", 0xBAD00005,
     [](Bytes& img, const Base& b) { Word(&Base::group, 0, 1, b.shnum)(img, b); }},
    {"group member 0xFFFFFFFF", 0xBAD00005, Word(&Base::group, 0, 1, 0xFFFFFFFFu)},
    {"group of the flag word alone", 0xBAD00003, SEC(group, s.sh_size = 4)},
    {"empty group", 0xBAD00003, SEC(group, s.sh_size = 0)},
    {"group not whole words", 0xBAD00003, SEC(group, s.sh_size = 10)},
    {"members of a group without GRP_COMDAT are checked", 0xBAD00005,
     Both(Word(&Base::group, 0, 0, 0), Word(&Base::group, 0, 1, 0))},
    {"any flag bits pass", 0, Word(&Base::group, 0, 0, 0xFFFFFFFFu)},
    {"size-prefixed group is not read", 0, Both(SEC(group, s.sh_flags |= kPrefixed), Word(&Base::group, 0, 1, 0))},
    {"SHF_GROUP outside any group passes", 0, SEC(comment, s.sh_flags |= 0x200)},
    {"group runs past the end", 0xBAD00025, SEC(group, s.sh_size = static_cast<uint32_t>(i.size()))},
};

#define SEC0(...) [](Bytes& img, const Base& b) { (void)b; PatchSection(img, 0, [&](SectionHeader& s) { __VA_ARGS__; }); }
#define XIDX(which, value) [](Bytes& img, const Base& b) { \
    Put32(img, ReadSection(img, b.shndx).sh_offset + 4 * b.which, value, IsBigEndian(img)); }

// Extended numbering, on the same object with its count and name table's
// index in section 0 and its symbols' indices in ".symtab_shndx"
// (section `shndx`, word k for symbol k).
const Row kExtendedCatalogue[] = {
    {"intact object", 0, [](Bytes&, const Base&) {}},
    {"e_shnum wins over section 0's sh_size", 0, Both(HDR(h.e_shnum = static_cast<uint16_t>(ReadSection(i, 0).sh_size)),
                                                       SEC0(s.sh_size = 0xFFFF))},
    {"SHN_XINDEX e_shstrndx beside a plain e_shnum", 0, HDR(h.e_shnum = static_cast<uint16_t>(ReadSection(i, 0).sh_size))},
    {"count and name index 0: no sections", 0, SEC0(s.sh_size = 0; s.sh_link = 0)},
    {"count past the end of the file", 0xBAD00023, SEC0(s.sh_size = 1000)},
    {"count stops short of the name table", 0xBAD00021, SEC0(s.sh_size = b.shstrtab)},
    {"name table index past the count", 0xBAD00021, SEC0(s.sh_link = b.shnum)},
    {"section 0 cut off by the end of the file", 0xBAD00021, HDR(h.e_shoff = static_cast<uint32_t>(i.size() - 20))},
    {"checks apply to the real name table", 0xBAD0002A, SEC0(s.sh_link = b.text)},
    {"index table linked past the count", 0xBAD00001, SEC(shndx, s.sh_link = b.shnum)},
    {"index table linked to a string table", 0xBAD00002, SEC(shndx, s.sh_link = b.strtab)},
    {"index table linked to section 0", 0xBAD00002, SEC(shndx, s.sh_link = 0)},
    {"index table one word short", 0xBAD00003, SEC(shndx, s.sh_size -= 4)},
    {"index table runs past the end", 0xBAD00025, SEC(shndx, s.sh_size = static_cast<uint32_t>(i.size()))},
    {"SHN_XINDEX symbol without an index table", 0xBAD00005, SEC(shndx, s.sh_type = 1)},
    {"size-prefixed index table is not read", 0xBAD00005, SEC(shndx, s.sh_flags |= kPrefixed)},
    {"real index past the count", 0xBAD00005, XIDX(func_sym, b.shnum)},
    {"table values are real indices, 0xFFF1 too", 0xBAD00005, XIDX(obj_sym, 0xFFF1)},
    {"section symbol's real index is not checked", 0, XIDX(section_sym, 0xFFFFFF)},
    {"real index 0 is undefined", 0, XIDX(func_sym, 0)},
    {"function past its real section", 0xBAD00009, SYM(func_sym, s.st_size = 17)},
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
    for (const Row& row : kExtendedCatalogue) {
      Base base = MakeBase(big, true);
      row.damage(base.image, base);
      uint32_t code = ParseElfImage(base.image.data(), static_cast<uint32_t>(base.image.size()));
      EXPECT_EQ(code, row.code) << "extended numbering: " << row.defect << (big ? " (big-endian)" : " (little-endian)")
                                << ": got 0x" << std::hex << code;
    }
  }
}

uint32_t Parse(Bytes& image) { return ParseElfImage(image.data(), static_cast<uint32_t>(image.size())); }

// The same object built in both byte orders is byte for byte the same after
// parsing, except EI_DATA: headers and the validated tables are converted,
// other contents (identical byte arrays in both builds) are left alone.
// Under extended numbering that takes section 0 and the index table too.
TEST(ParseElfImage, BigEndianImageIsConvertedInPlace) {
  for (bool extended : {false, true}) {
    for (uint8_t ei_data : {2, 0}) {
      Base le = MakeBase(false, extended);
      Base be = MakeBase(true, extended);
      be.image[EI_DATA] = ei_data;
      ASSERT_EQ(Parse(le.image), 0u);
      ASSERT_EQ(Parse(be.image), 0u);
      le.image[EI_DATA] = ei_data;
      EXPECT_TRUE(le.image == be.image) << "EI_DATA " << int{ei_data} << (extended ? ", extended numbering" : "");
    }
  }
}

// Extended numbering through the accessors later stages use; a reserved
// index never reads as a real section, and a table entry always does.
TEST(ElfImage, ExtendedNumberingGivesTheRealNumbers) {
  Base b = MakeBase(true, true);
  ASSERT_EQ(Parse(b.image), 0u);
  ElfImage image{b.image.data(), static_cast<uint32_t>(b.image.size())};
  EXPECT_EQ(image.SectionCount(), b.shnum);
  EXPECT_EQ(image.SectionNamesIndex(), b.shstrtab);
  EXPECT_EQ(image.SectionName(b.data), ".data");
  uint32_t table = image.FindSymbolIndexTable(b.symtab);
  EXPECT_EQ(table, b.shndx);
  EXPECT_EQ(image.SymbolSectionIndex(table, b.func_sym, SHN_XINDEX), b.text);
  EXPECT_EQ(image.SymbolSectionIndex(table, b.notype_sym, SHN_XINDEX), 0u) << "entry 0: undefined";
  EXPECT_EQ(image.SymbolSectionIndex(table, b.notype_sym + 1, SHN_XINDEX), kNoSectionIndex) << "past the table";
  EXPECT_EQ(image.SymbolSectionIndex(0, b.func_sym, SHN_XINDEX), kNoSectionIndex);
  EXPECT_EQ(image.SymbolSectionIndex(table, b.func_sym, SHN_ABS), ReservedSectionIndex(SHN_ABS));
}

TEST(ParseElfImage, TablesThatAreNotValidatedAreNotConverted) {
  // A RELA table without a symbol table and a size-prefixed symbol table keep
  // their big-endian entries; the null-section REL table is emptied.
  Base be = MakeBase(true);
  PatchSection(be.image, be.rela, [](SectionHeader& s) { s.sh_link = 0; });
  PatchSection(be.image, be.rel, [](SectionHeader& s) { s.sh_info = 0; });
  PatchSection(be.image, be.symtab, [](SectionHeader& s) { s.sh_flags |= SHF_SIZE_PREFIXED; });
  Bytes original = be.image;
  ASSERT_EQ(Parse(be.image), 0u);
  ElfImage image{be.image.data(), static_cast<uint32_t>(be.image.size())};
  for (uint32_t index : {be.rela, be.symtab, be.rel}) {
    SectionHeader s = ReadSection(original, index);
    EXPECT_EQ(0, std::memcmp(be.image.data() + s.sh_offset, original.data() + s.sh_offset, s.sh_size)) << index;
  }
  EXPECT_EQ(image.Section(be.rel)->sh_size, 0u);
  EXPECT_EQ(image.Section(be.rela)->sh_size, 24u);
}

TEST(ElfImage, AccessorsStayInsideTheImage) {
  Base b = MakeBase(false);
  PatchSection(b.image, b.symtab, [](SectionHeader& s) { s.sh_link = 0; });
  ASSERT_EQ(Parse(b.image), 0u);
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
  std::string many = "int shared;\n";  // -ffunction-sections: thousands of sections
  for (int i = 0; i < 1200; ++i) many += "int f" + std::to_string(i) + "(void) { return shared + " + std::to_string(i) + "; }\n";
  const std::pair<std::string, const char*> builds[] = {
      {elftest::SampleSource("s"), "-O0"}, {elftest::SampleSource("s"), "-O2 -ffunction-sections -fdata-sections"},
      {elftest::SampleSource("s"), "-g -fcommon"}, {elftest::SampleSource("s"), "-fPIC -O1"}, {many, "-ffunction-sections"}};
  for (const auto& [source, flags] : builds) {
    if (!elftest::CompileM32(dir, "s", source, "s.o", flags)) GTEST_SKIP() << elftest::kGccSkipReason;
    Bytes bytes = ReadFile(dir.File("s.o"));
    EXPECT_EQ(Parse(bytes), 0u) << flags;
    ElfImage image{bytes.data(), static_cast<uint32_t>(bytes.size())};
    EXPECT_EQ(image.SectionName(image.Header().e_shstrndx), ".shstrtab") << flags;
  }
}

// ---- The placement checks against the plain pairwise rule ----

struct Layout {
  uint32_t length = 0;
  uint16_t ehsize = 52;
  uint32_t phoff = 0, shoff = 0;
  std::vector<SectionHeader> sections;  // index 0 included
  std::vector<ProgramHeader> programs;
};

// The placement rules the slow, obvious way: for each section in order the
// header, program-table, section-table and later-section tests; then every
// pair of program headers.
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

struct RandomExtent {
  uint32_t offset, size;
  bool skipped;  // NOBITS section or PT_NULL program header
};

// Random extents inside [begin, limit): mostly disjoint runs with gaps,
// sometimes shuffled, then a few starts moved into others, duplicated,
// emptied or thrown anywhere below the limit.
std::vector<RandomExtent> RandomExtents(std::mt19937& rng, size_t count, uint32_t begin, uint32_t limit) {
  std::vector<RandomExtent> out;
  uint32_t cursor = begin;
  for (size_t i = 0; i < count; ++i) {
    uint32_t size = rng() % 25, offset = cursor + rng() % 3;
    if (offset + size > limit) offset = begin, size = 0;
    out.push_back({offset, size, rng() % 7 == 0});
    cursor = offset + size;
  }
  if (rng() % 3 == 0) std::shuffle(out.begin(), out.end(), rng);
  for (size_t e = rng() % 4; e > 0 && !out.empty(); --e) {
    RandomExtent& victim = out[rng() % out.size()];
    const RandomExtent& other = out[rng() % out.size()];
    switch (rng() % 4) {
      case 0: victim.offset = other.offset + (other.size ? rng() % other.size : 0); break;
      case 1: victim = other; break;
      case 2: victim.size = 0; break;
      default: victim.offset = rng() % limit;
    }
    victim.offset = std::min(victim.offset, limit - 1);
    victim.size = std::min(victim.size, limit - victim.offset);
  }
  return out;
}

TEST(ParseElfImage, PlacementChecksMatchThePairwiseRule) {
  std::mt19937 rng(20240611);
  int zero = 0, sections = 0, programs = 0;
  for (int iteration = 0; iteration < 4000; ++iteration) {
    Layout l;
    l.length = 4096;
    l.ehsize = rng() % 5 == 0 ? 100 : 52;
    l.phoff = rng() % 6 == 0 ? 200 : 120;
    l.shoff = 4096 - 64 * kSectionHeaderSize;
    // Contents mostly between the tables, sometimes reaching into them or the header.
    uint32_t low = rng() % 8 == 0 ? 0 : 600, high = rng() % 8 == 0 ? 4096 : l.shoff;
    l.sections.push_back(SectionHeader{});
    for (const RandomExtent& e : RandomExtents(rng, rng() % 40, low, high)) {
      l.sections.push_back(SectionHeader{0, e.skipped ? SHT_NOBITS : 1, 0, 0, e.offset, e.size, 0, 0, 0, 0});
    }
    for (const RandomExtent& e : RandomExtents(rng, rng() % 2 ? 0 : 1 + rng() % 12, 600, l.shoff)) {
      l.programs.push_back(ProgramHeader{e.skipped ? 0u : 1u, e.offset, 0, 0, e.size, 0, 0, 0});
    }
    uint32_t expected = ReferencePlacement(l);
    bool big = rng() % 2 == 0;
    Bytes image = BuildLayout(l, big);
    ASSERT_EQ(ParseElfImage(image.data(), l.length), expected) << "iteration " << iteration << " big " << big;
    (expected == 0 ? zero : expected == 0xBAD00032 ? programs : sections)++;
  }
  // The layouts must reach every outcome often enough to mean something.
  EXPECT_GT(zero, 400);
  EXPECT_GT(sections, 400);
  EXPECT_GT(programs, 200);
}

// A big-endian image's tables are converted in place, so one that starts
// before the section headers and runs into them would rewrite checked headers.
TEST(ParseElfImage, BigEndianConvertedTableReachingTheSectionHeaders) {
  for (uint32_t type : {SHT_SYMTAB, SHT_REL, SHT_RELA, SHT_GROUP}) {
    Layout l;
    l.length = 1024;
    l.shoff = 1024 - 3 * kSectionHeaderSize;
    l.sections.resize(3);
    l.sections[1].sh_type = 1;  // PROGBITS
    l.sections[1].sh_offset = 100;
    l.sections[1].sh_size = 16;
    l.sections[2].sh_type = type;
    l.sections[2].sh_offset = l.shoff - 16;
    l.sections[2].sh_size = 32;
    Bytes big = BuildLayout(l, true), little = BuildLayout(l, false);
    EXPECT_EQ(Parse(big), 0xBAD00027u) << "type " << type;
    EXPECT_NE(Parse(little), 0xBAD00027u) << "type " << type;
  }
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
