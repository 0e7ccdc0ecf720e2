// The ELF reader's statuses, one row per check: the 0xBAD000xx code it
// returns, the name the reader's code knows it by, and for qdmdump and the
// man page what failed and what to do. The reader only returns codes (its
// messages are fixed), so this table is where each code is given meaning.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace prepqdm {

struct ReaderStatus {
  uint32_t code;
  std::string_view name;
  const char* words;   // what failed
  const char* remedy;  // what to do
};

// Most checks find a file that is damaged or that no standard ELF32
// toolchain writes; the advice is the same for all of them.
inline constexpr char kDamaged[] =
    "the object is damaged or not from a standard ELF32 toolchain: rebuild it and compare with readelf -a";

// In the order of the checks that return them.
inline constexpr ReaderStatus kReaderStatuses[] = {
    {0xBAD00018u, "TooShort", "shorter than 260 bytes, the smallest object prepqdm reads",
     "a truncated file or not an object: rebuild it"},
    {0xBAD00019u, "BadMagic", "no ELF magic (0x7F 'E' 'L' 'F')", "not an ELF object: name only objects and archives"},
    {0xBAD0001Au, "BadClass", "64-bit ELF (ELFCLASS64)",
     "prepqdm reads ELF32: compile with -m32 or the 32-bit toolchain"},
    {0xBAD0001Bu, "BadIdentVersion", "e_ident[EI_VERSION] is above 1 (EV_CURRENT)", kDamaged},
    {0xBAD0001Cu, "NoMachine", "no machine (e_machine 0)", "give the assembler or compiler a target machine"},
    {0xBAD0001Du, "BadVersion", "e_version is not 1 (EV_CURRENT)", kDamaged},
    {0xBAD0002Cu, "HeaderSizeTooSmall", "the ELF header size (e_ehsize) is below 52 bytes", kDamaged},
    {0xBAD0001Eu, "HeaderSizeTooLarge", "the ELF header size (e_ehsize) does not leave room for the object in the file",
     kDamaged},
    {0xBAD0001Fu, "BadPhoff", "the program header table offset (e_phoff) lies in the ELF header or past the end",
     kDamaged},
    {0xBAD00020u, "BadShoff", "the section header table offset (e_shoff) lies in the ELF header or past the end",
     kDamaged},
    {0xBAD00021u, "BadShstrndx", "the section-name table index (e_shstrndx) is not a section", kDamaged},
    {0xBAD00022u, "ProgramTableOutside",
     "the program header table runs past the end of the file, or its entries are short", kDamaged},
    {0xBAD00023u, "SectionTableOutside",
     "the section header table runs past the end of the file, or its entries are short",
     "a truncated file: rebuild it"},
    {0xBAD00024u, "SectionInHeader", "a section starts inside the ELF header", kDamaged},
    {0xBAD00026u, "SectionInProgramTable", "a section starts inside the program header table", kDamaged},
    {0xBAD00027u, "SectionInSectionTable",
     "a section starts inside the section header table, or (big-endian objects) a symbol, relocation or group table "
     "runs into it",
     kDamaged},
    {0xBAD00028u, "SectionInLaterSection", "a section starts inside a later section", kDamaged},
    {0xBAD00032u, "ProgramInLaterProgram", "a segment (program header) starts inside a later segment", kDamaged},
    {0xBAD00025u, "SectionOutside", "a section runs past the end of the file", "a truncated file: rebuild it"},
    {0xBAD00029u, "ProgramOutside", "a segment (program header) runs past the end of the file", kDamaged},
    {0xBAD0002Au, "NamesNotStrtab", "the section-name table (e_shstrndx) is not a string table", kDamaged},
    {0xBAD0002Bu, "SectionNameOutside", "a section's name (sh_name) lies outside the section-name table", kDamaged},
    {0xBAD00001u, "SymtabLinkRange", "a symbol table's string-table link (sh_link) is not a section", kDamaged},
    {0xBAD00002u, "SymtabLinkType", "a symbol table is linked to a section that is not a string table", kDamaged},
    {0xBAD0002Du, "SymtabEntsize", "a symbol table's entry size is below 16 bytes", kDamaged},
    {0xBAD00003u, "SymtabEmpty",
     "a symbol table holds no whole entry, or a section group (SHT_GROUP) is under 8 bytes or not whole 4-byte words",
     kDamaged},
    {0xBAD00004u, "SymbolName", "a symbol's name (st_name) lies outside its string table", kDamaged},
    {0xBAD00005u, "SymbolSection",
     "a symbol's section index (st_shndx), or a member of a section group (SHT_GROUP), is not a section", kDamaged},
    {0xBAD00006u, "ObjectInNull", "a data symbol (STT_OBJECT) lies in an allocated section of type SHT_NULL", kDamaged},
    {0xBAD00007u, "ObjectOutside", "a data symbol (STT_OBJECT) lies outside its section", kDamaged},
    {0xBAD00008u, "FunctionInNull", "a function symbol (STT_FUNC) lies in an allocated section of type SHT_NULL",
     kDamaged},
    {0xBAD00009u, "FunctionOutside", "a function symbol (STT_FUNC) lies outside its section", kDamaged},
    {0xBAD0002Eu, "RelaEntsize", "a SHT_RELA table's entry size is below 12 bytes", kDamaged},
    {0xBAD0000Au, "RelaEmpty", "a SHT_RELA table holds no whole entry", kDamaged},
    {0xBAD0000Bu, "RelaLinkRange", "a SHT_RELA table's symbol-table link (sh_link) is not a section", kDamaged},
    {0xBAD0000Cu, "RelaLinkType", "a SHT_RELA table is linked to a section that is not a symbol table", kDamaged},
    {0xBAD0002Fu, "RelaSymtabEntsize", "a SHT_RELA table's symbol table has entries below 16 bytes", kDamaged},
    {0xBAD0000Du, "RelaTargetRange", "a SHT_RELA table's target section (sh_info) is not a section", kDamaged},
    {0xBAD0000Eu, "RelaNullEntry", "a SHT_RELA table for the null section does not begin with an all-zero entry",
     kDamaged},
    {0xBAD0000Fu, "RelaSymbol", "a SHT_RELA entry names a symbol beyond its symbol table", kDamaged},
    {0xBAD00030u, "RelEntsize", "a SHT_REL table's entry size is below 8 bytes", kDamaged},
    {0xBAD00011u, "RelEmpty", "a SHT_REL table holds no whole entry", kDamaged},
    {0xBAD00012u, "RelLinkRange", "a SHT_REL table's symbol-table link (sh_link) is not a section", kDamaged},
    {0xBAD00013u, "RelLinkType", "a SHT_REL table is not linked to a symbol table", kDamaged},
    {0xBAD00031u, "RelSymtabEntsize", "a SHT_REL table's symbol table has entries below 16 bytes", kDamaged},
    {0xBAD00014u, "RelTargetRange", "a SHT_REL table's target section (sh_info) is not a section", kDamaged},
    {0xBAD00015u, "RelNullEntry", "a SHT_REL table for the null section does not begin with an all-zero entry",
     kDamaged},
    {0xBAD00016u, "RelSymbol", "a SHT_REL entry names a symbol beyond its symbol table", kDamaged},
    {0xBAD00017u, "RelOffset", "a SHT_REL entry's offset lies outside the section it relocates", kDamaged},
};

// The code of the row called `name`; a name without a row does not compile
// where a constant is needed.
consteval uint32_t ReaderStatusCode(std::string_view name) {
  for (const ReaderStatus& status : kReaderStatuses) {
    if (status.name == name) return status.code;
  }
  throw "no reader status of that name";
}

// The row of `code`, or null for a code the reader does not return.
const ReaderStatus* FindReaderStatus(uint32_t code);

// "what failed; what to do", or nothing for a code the reader does not return.
std::optional<std::string> ReaderStatusWords(uint32_t code);

}  // namespace prepqdm
