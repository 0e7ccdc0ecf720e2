// ELF32 records as plain structs with the standard field order. Records are
// never read through a cast pointer into a view: headers can sit at any offset
// (archive members start at even offsets only), so every load and store goes
// through memcpy at an offset that was checked against the image first.
#pragma once
#include <cstdint>
#include <cstring>

namespace prepqdm {

struct ElfHeader {
  uint8_t e_ident[16];
  uint16_t e_type;
  uint16_t e_machine;
  uint32_t e_version;
  uint32_t e_entry;
  uint32_t e_phoff;
  uint32_t e_shoff;
  uint32_t e_flags;
  uint16_t e_ehsize;
  uint16_t e_phentsize;
  uint16_t e_phnum;
  uint16_t e_shentsize;
  uint16_t e_shnum;
  uint16_t e_shstrndx;
};

struct SectionHeader {
  uint32_t sh_name;
  uint32_t sh_type;
  uint32_t sh_flags;
  uint32_t sh_addr;
  uint32_t sh_offset;
  uint32_t sh_size;
  uint32_t sh_link;
  uint32_t sh_info;
  uint32_t sh_addralign;
  uint32_t sh_entsize;
};

struct ProgramHeader {
  uint32_t p_type;
  uint32_t p_offset;
  uint32_t p_vaddr;
  uint32_t p_paddr;
  uint32_t p_filesz;
  uint32_t p_memsz;
  uint32_t p_flags;
  uint32_t p_align;
};

struct ElfSymbol {
  uint32_t st_name;
  uint32_t st_value;
  uint32_t st_size;
  uint8_t st_info;
  uint8_t st_other;
  uint16_t st_shndx;
};

struct ElfRela {
  uint32_t r_offset;
  uint32_t r_info;
  int32_t r_addend;
};

struct ElfRel {
  uint32_t r_offset;
  uint32_t r_info;
};

static_assert(sizeof(ElfHeader) == 52);
static_assert(sizeof(SectionHeader) == 40);
static_assert(sizeof(ProgramHeader) == 32);
static_assert(sizeof(ElfSymbol) == 16);
static_assert(sizeof(ElfRela) == 12);
static_assert(sizeof(ElfRel) == 8);

constexpr uint32_t kElfHeaderSize = 52;
constexpr uint32_t kProgramHeaderSize = 32;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kSymbolSize = 16;
constexpr uint32_t kRelaSize = 12;
constexpr uint32_t kRelSize = 8;

// No input shorter than this is read as an object, and no export object is
// taken back in below it: 260 bytes hold the ELF header and the smallest
// useful set of section headers.
constexpr uint32_t kMinimumObjectSize = 0x104;

// The four bytes every ELF file starts with.
inline constexpr char kElfMagic[] = "\x7F" "ELF";
constexpr uint32_t kElfMagicSize = 4;

constexpr int EI_CLASS = 4;
constexpr int EI_DATA = 5;
constexpr int EI_VERSION = 6;
constexpr uint8_t ELFDATA2LSB = 1;

constexpr uint16_t ET_REL = 1;
constexpr uint16_t EM_PPC = 20;

constexpr uint32_t SHT_NULL = 0;
constexpr uint32_t SHT_SYMTAB = 2;
constexpr uint32_t SHT_STRTAB = 3;
constexpr uint32_t SHT_RELA = 4;
constexpr uint32_t SHT_NOBITS = 8;
constexpr uint32_t SHT_REL = 9;
constexpr uint32_t SHT_GROUP = 17;
constexpr uint32_t SHT_SYMTAB_SHNDX = 18;
constexpr uint32_t SHT_QDM_EXPORTS = 0x80000001u;
constexpr uint32_t SHT_QDM_IMPORTS = 0x80000002u;

constexpr uint32_t SHF_WRITE = 0x1;
constexpr uint32_t SHF_ALLOC = 0x2;
constexpr uint32_t SHF_EXECINSTR = 0x4;
constexpr uint32_t SHF_TLS_PLATFORM = 0x04000000u;   // thread-local section
constexpr uint32_t SHF_SIZE_PREFIXED = 0x08000000u;  // content size in first word

// A section group's first word; the member section indices follow it.
constexpr uint32_t GRP_COMDAT = 0x1;

constexpr uint16_t SHN_UNDEF = 0;
constexpr uint16_t SHN_LORESERVE = 0xFF00;
constexpr uint16_t SHN_TLS_COMMON = 0xFF03;
constexpr uint16_t SHN_ABS = 0xFFF1;
constexpr uint16_t SHN_COMMON = 0xFFF2;
constexpr uint16_t SHN_XINDEX = 0xFFFF;  // the real index is elsewhere (section 0, SHT_SYMTAB_SHNDX)

// A symbol's section as a 32-bit number (see ElfImage::SymbolSectionIndex).
// A real index is below the section count, and an accepted image holds at
// most its size / 40 section headers (under 2^27), so a reserved st_shndx
// (0xFF00 to 0xFFFE) is moved to 0xFFFF0000 | st_shndx: with more than 0xFF00
// sections, SHN_ABS must not read as section 0xFFF1. SHN_XINDEX without a
// readable table entry comes out as kNoSectionIndex the same way.
constexpr uint32_t ReservedSectionIndex(uint16_t shndx) { return 0xFFFF0000u | shndx; }
constexpr uint32_t kNoSectionIndex = ReservedSectionIndex(SHN_XINDEX);

constexpr uint8_t STB_GLOBAL = 1;
constexpr uint8_t STB_WEAK = 2;
constexpr uint8_t STT_OBJECT = 1;
constexpr uint8_t STT_FUNC = 2;
constexpr uint8_t STT_SECTION = 3;
constexpr uint8_t STT_FILE = 4;
constexpr uint8_t STT_TLS = 6;

// Visibility, the low two bits of st_other.
constexpr uint8_t STV_INTERNAL = 1;
constexpr uint8_t STV_HIDDEN = 2;
constexpr uint8_t SymbolVisibility(uint8_t other) { return other & 3; }

constexpr uint32_t R_PPC_ADDR32 = 1;
constexpr uint32_t R_PPC_DTPREL32 = 78;

constexpr uint8_t SymbolInfo(uint8_t binding, uint8_t type) { return static_cast<uint8_t>(binding << 4 | type); }
constexpr uint8_t kGlobalNoType = SymbolInfo(STB_GLOBAL, 0);
constexpr uint8_t kGlobalObject = SymbolInfo(STB_GLOBAL, STT_OBJECT);
constexpr uint8_t kGlobalFunc = SymbolInfo(STB_GLOBAL, STT_FUNC);
constexpr uint8_t kGlobalTls = SymbolInfo(STB_GLOBAL, STT_TLS);

inline uint8_t SymbolBinding(uint8_t info) { return info >> 4; }
inline uint8_t SymbolType(uint8_t info) { return info & 0x0F; }
inline uint32_t RelocationType(uint32_t info) { return info & 0xFF; }
inline uint32_t RelocationSymbol(uint32_t info) { return info >> 8; }

// Unchecked memcpy load/store; callers check the range first.
template <class T>
inline T LoadAt(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
template <class T>
inline void StoreAt(uint8_t* p, const T& value) {
  std::memcpy(p, &value, sizeof value);
}

inline uint16_t Bswap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t Bswap32(uint32_t v) { return __builtin_bswap32(v); }

// The image's own byte order: EI_DATA 1 is little-endian (the host's),
// any other value big-endian.
inline bool HasElfMagic(const uint8_t* bytes, uint64_t size) {
  return size >= kElfMagicSize && std::memcmp(bytes, kElfMagic, kElfMagicSize) == 0;
}

inline bool IsLittleEndianIdent(const uint8_t* ident) { return ident[EI_DATA] == ELFDATA2LSB; }

}  // namespace prepqdm
