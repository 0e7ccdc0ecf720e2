#include "inspect/check_words.h"

#include <algorithm>

namespace prepqdm {

namespace {

// Most checks find a file that is damaged or that no standard ELF32
// toolchain writes; the advice is the same for all of them.
constexpr char kDamaged[] = "the object is damaged or not from a standard ELF32 toolchain: rebuild it and compare "
                            "with readelf -a";

struct CheckWords {
  uint32_t code;
  const char* what;
  const char* advice;  // null: kDamaged
};

constexpr CheckWords kChecks[] = {
    {0xBAD00001u, "a symbol table's string-table link (sh_link) is not a section", nullptr},
    {0xBAD00002u, "a symbol table is linked to a section that is not a string table", nullptr},
    {0xBAD00003u, "a symbol table holds no whole entry", nullptr},
    {0xBAD00004u, "a symbol's name (st_name) lies outside its string table", nullptr},
    {0xBAD00005u, "a symbol's section index (st_shndx) is not a section", nullptr},
    {0xBAD00006u, "a data symbol (STT_OBJECT) lies in an allocated section of type SHT_NULL", nullptr},
    {0xBAD00007u, "a data symbol (STT_OBJECT) lies outside its section", nullptr},
    {0xBAD00008u, "a function symbol (STT_FUNC) lies in an allocated section of type SHT_NULL", nullptr},
    {0xBAD00009u, "a function symbol (STT_FUNC) lies outside its section", nullptr},
    {0xBAD0000Au, "a SHT_RELA table holds no whole entry", nullptr},
    {0xBAD0000Bu, "a SHT_RELA table's symbol-table link (sh_link) is not a section", nullptr},
    {0xBAD0000Cu, "a SHT_RELA table is linked to a section that is not a symbol table", nullptr},
    {0xBAD0000Du, "a SHT_RELA table's target section (sh_info) is not a section", nullptr},
    {0xBAD0000Eu, "a SHT_RELA table for the null section does not begin with an all-zero entry", nullptr},
    {0xBAD0000Fu, "a SHT_RELA entry names a symbol beyond its symbol table", nullptr},
    {0xBAD00011u, "a SHT_REL table holds no whole entry", nullptr},
    {0xBAD00012u, "a SHT_REL table's symbol-table link (sh_link) is not a section", nullptr},
    {0xBAD00013u, "a SHT_REL table is not linked to a symbol table", nullptr},
    {0xBAD00014u, "a SHT_REL table's target section (sh_info) is not a section", nullptr},
    {0xBAD00015u, "a SHT_REL table for the null section does not begin with an all-zero entry", nullptr},
    {0xBAD00016u, "a SHT_REL entry names a symbol beyond its symbol table", nullptr},
    {0xBAD00017u, "a SHT_REL entry's offset lies outside the section it relocates", nullptr},
    {0xBAD00018u, "shorter than 260 bytes, the smallest object prepqdm reads",
     "a truncated file or not an object: rebuild it"},
    {0xBAD00019u, "no ELF magic (0x7F 'E' 'L' 'F')", "not an ELF object: name only objects and archives"},
    {0xBAD0001Au, "64-bit ELF (ELFCLASS64)", "prepqdm reads ELF32: compile with -m32 or the 32-bit toolchain"},
    {0xBAD0001Bu, "e_ident[EI_VERSION] is above 1 (EV_CURRENT)", nullptr},
    {0xBAD0001Cu, "no machine (e_machine 0)", "give the assembler or compiler a target machine"},
    {0xBAD0001Du, "e_version is not 1 (EV_CURRENT)", nullptr},
    {0xBAD0001Eu, "the ELF header size (e_ehsize) does not leave room for the object in the file", nullptr},
    {0xBAD0001Fu, "the program header table offset (e_phoff) lies in the ELF header or past the end", nullptr},
    {0xBAD00020u, "the section header table offset (e_shoff) lies in the ELF header or past the end", nullptr},
    {0xBAD00021u, "the section-name table index (e_shstrndx) is not a section", nullptr},
    {0xBAD00022u, "the program header table runs past the end of the file, or its entries are short", nullptr},
    {0xBAD00023u, "the section header table runs past the end of the file, or its entries are short",
     "a truncated file: rebuild it"},
    {0xBAD00024u, "a section starts inside the ELF header", nullptr},
    {0xBAD00025u, "a section runs past the end of the file", "a truncated file: rebuild it"},
    {0xBAD00026u, "a section starts inside the program header table", nullptr},
    {0xBAD00027u,
     "a section starts inside the section header table, or (big-endian objects) a symbol or relocation table runs "
     "into it",
     nullptr},
    {0xBAD00028u, "a section starts inside a later section", nullptr},
    {0xBAD00029u, "a segment (program header) runs past the end of the file", nullptr},
    {0xBAD0002Au, "the section-name table (e_shstrndx) is not a string table", nullptr},
    {0xBAD0002Bu, "a section's name (sh_name) lies outside the section-name table", nullptr},
    {0xBAD0002Cu, "the ELF header size (e_ehsize) is below 52 bytes", nullptr},
    {0xBAD0002Du, "a symbol table's entry size is below 16 bytes", nullptr},
    {0xBAD0002Eu, "a SHT_RELA table's entry size is below 12 bytes", nullptr},
    {0xBAD0002Fu, "a SHT_RELA table's symbol table has entries below 16 bytes", nullptr},
    {0xBAD00030u, "a SHT_REL table's entry size is below 8 bytes", nullptr},
    {0xBAD00031u, "a SHT_REL table's symbol table has entries below 16 bytes", nullptr},
    {0xBAD00032u, "a segment (program header) starts inside a later segment", nullptr},
};

}  // namespace

std::optional<std::string> ElfCheckWords(uint32_t code) {
  const auto* found = std::find_if(std::begin(kChecks), std::end(kChecks),
                                   [code](const CheckWords& c) { return c.code == code; });
  if (found == std::end(kChecks)) return std::nullopt;
  return std::string(found->what) + "; " + (found->advice ? found->advice : kDamaged);
}

std::vector<uint32_t> KnownElfCheckCodes() {
  std::vector<uint32_t> codes;
  for (const CheckWords& c : kChecks) codes.push_back(c.code);
  return codes;
}

}  // namespace prepqdm
