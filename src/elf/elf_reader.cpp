// Validation of ELF32 images and their conversion to host byte order.
//
// The checks run in a fixed order and the first failing one decides the
// 0xBAD000xx code: the header, the placement of sections and program headers,
// the extents of contents, section names, symbol tables, relocation tables,
// then section groups. A big-endian image (EI_DATA other than 1) is converted
// in place as the checks reach each record: the header, section headers 1 and
// up (and header 0 when the header sends a reader to it), program headers,
// and the entries of the symbol, symbol index and relocation tables and the
// words of the section groups that get validated. e_ident is never touched, so EI_DATA keeps telling the file's own
// byte order.
//
// Extended section numbering is read as the gABI defines it: e_shnum 0 with
// a section header table means the count is section 0's sh_size, e_shstrndx
// SHN_XINDEX means the name table's index is section 0's sh_link, and a
// symbol whose st_shndx is SHN_XINDEX has its index in the SHT_SYMTAB_SHNDX
// table linked to its symbol table (a real index whatever its value). Every
// check then applies to the real numbers. A count taken from section 0 is
// accepted whatever its size. Defects of these records are refused with the
// code of the check they come closest to: a count whose table leaves the
// image as any section table does, a name-table index past the count as a
// bad e_shstrndx, an index table linked out of range or to what is not a
// symbol table as a symbol table's bad link, one with fewer than 4 bytes per
// symbol as a table too short for its entries, and an SHN_XINDEX symbol with
// no table or a real index past the count as any symbol's bad section index.
// A section group (SHT_GROUP: a flag word, then member section indices) is
// refused the same way: one under 8 bytes or not whole words as a table with
// no whole entry, a member 0 or past the count as a bad section index. Its
// signature symbol is not looked at, nor SHF_GROUP on sections outside any
// group.
//
// Every load and store is a memcpy at an offset that an earlier check has
// placed inside the image; sums and products of file values are 64-bit.
//
// Choices where the format leaves room:
// - a program or section header table whose entry size is below the record
//   size, or that starts at offset 0 (on top of the ELF header) while its
//   count is not 0, is rejected with the code of that table's placement
//   check, so records never overlap each other or the header they come from;
// - in a big-endian image, a table the reader converts in place (symbol,
//   index or relocation table) must not reach into the section header table
//   even when it starts before it: once the other checks have passed, it is
//   rejected as a section starting inside that table;
// - the size word of a size-prefixed section is read only when it lies in the
//   section's own (checked) extent; a shorter section has content size 0;
// - a symbol table whose sh_link is 0 has no names: its st_name values are
//   not tested and later stages read no name for them;
// - section header 0 is used only when it lies wholly inside the image: with
//   e_shnum 0 the object then has no sections, and an SHN_XINDEX e_shstrndx
//   is a bad one;
// - a symbol table's index table is the first SHT_SYMTAB_SHNDX section linked
//   to it; its words are 4 bytes whatever its sh_entsize, and an index of 0
//   read from it is SHN_UNDEF, as in st_shndx.
//
// The pairwise placement rules (a section or program header must not start
// inside the extent of a later one) are answered by one backward sweep over
// the entries with a prefix-maximum tree keyed by start offset, so objects
// with tens of thousands of sections stay fast.
#include "elf/elf_reader.h"

#include <algorithm>
#include <new>
#include <vector>

#include "elf/elf_format.h"
#include "elf/elf_swap.h"
#include "elf/reader_status.h"
#include "host/status.h"

namespace prepqdm {

bool IsConvertedTable(const SectionHeader& s) {
  if ((s.sh_flags & SHF_SIZE_PREFIXED) != 0) return false;
  return s.sh_type == SHT_SYMTAB || s.sh_type == SHT_SYMTAB_SHNDX || s.sh_type == SHT_REL || s.sh_type == SHT_RELA ||
         s.sh_type == SHT_GROUP;
}

namespace {

// The reader's codes (their numbers and meanings are in reader_status.h).
constexpr uint32_t kTooShort = ReaderStatusCode("TooShort");
constexpr uint32_t kBadMagic = ReaderStatusCode("BadMagic");
constexpr uint32_t kBadClass = ReaderStatusCode("BadClass");
constexpr uint32_t kBadIdentVersion = ReaderStatusCode("BadIdentVersion");
constexpr uint32_t kNoMachine = ReaderStatusCode("NoMachine");
constexpr uint32_t kBadVersion = ReaderStatusCode("BadVersion");
constexpr uint32_t kHeaderSizeTooSmall = ReaderStatusCode("HeaderSizeTooSmall");
constexpr uint32_t kHeaderSizeTooLarge = ReaderStatusCode("HeaderSizeTooLarge");
constexpr uint32_t kBadPhoff = ReaderStatusCode("BadPhoff");
constexpr uint32_t kBadShoff = ReaderStatusCode("BadShoff");
constexpr uint32_t kBadShstrndx = ReaderStatusCode("BadShstrndx");
constexpr uint32_t kProgramTableOutside = ReaderStatusCode("ProgramTableOutside");
constexpr uint32_t kSectionTableOutside = ReaderStatusCode("SectionTableOutside");
constexpr uint32_t kSectionInHeader = ReaderStatusCode("SectionInHeader");
constexpr uint32_t kSectionInProgramTable = ReaderStatusCode("SectionInProgramTable");
constexpr uint32_t kSectionInSectionTable = ReaderStatusCode("SectionInSectionTable");
constexpr uint32_t kSectionInLaterSection = ReaderStatusCode("SectionInLaterSection");
constexpr uint32_t kProgramInLaterProgram = ReaderStatusCode("ProgramInLaterProgram");
constexpr uint32_t kSectionOutside = ReaderStatusCode("SectionOutside");
constexpr uint32_t kProgramOutside = ReaderStatusCode("ProgramOutside");
constexpr uint32_t kNamesNotStrtab = ReaderStatusCode("NamesNotStrtab");
constexpr uint32_t kSectionNameOutside = ReaderStatusCode("SectionNameOutside");
constexpr uint32_t kSymtabLinkRange = ReaderStatusCode("SymtabLinkRange");
constexpr uint32_t kSymtabLinkType = ReaderStatusCode("SymtabLinkType");
constexpr uint32_t kSymtabEntsize = ReaderStatusCode("SymtabEntsize");
constexpr uint32_t kSymtabEmpty = ReaderStatusCode("SymtabEmpty");
constexpr uint32_t kSymbolName = ReaderStatusCode("SymbolName");
constexpr uint32_t kSymbolSection = ReaderStatusCode("SymbolSection");
constexpr uint32_t kObjectInNull = ReaderStatusCode("ObjectInNull");
constexpr uint32_t kObjectOutside = ReaderStatusCode("ObjectOutside");
constexpr uint32_t kFunctionInNull = ReaderStatusCode("FunctionInNull");
constexpr uint32_t kFunctionOutside = ReaderStatusCode("FunctionOutside");
constexpr uint32_t kRelaEntsize = ReaderStatusCode("RelaEntsize");
constexpr uint32_t kRelaEmpty = ReaderStatusCode("RelaEmpty");
constexpr uint32_t kRelaLinkRange = ReaderStatusCode("RelaLinkRange");
constexpr uint32_t kRelaLinkType = ReaderStatusCode("RelaLinkType");
constexpr uint32_t kRelaSymtabEntsize = ReaderStatusCode("RelaSymtabEntsize");
constexpr uint32_t kRelaTargetRange = ReaderStatusCode("RelaTargetRange");
constexpr uint32_t kRelaNullEntry = ReaderStatusCode("RelaNullEntry");
constexpr uint32_t kRelaSymbol = ReaderStatusCode("RelaSymbol");
constexpr uint32_t kRelEntsize = ReaderStatusCode("RelEntsize");
constexpr uint32_t kRelEmpty = ReaderStatusCode("RelEmpty");
constexpr uint32_t kRelLinkRange = ReaderStatusCode("RelLinkRange");
constexpr uint32_t kRelLinkType = ReaderStatusCode("RelLinkType");
constexpr uint32_t kRelSymtabEntsize = ReaderStatusCode("RelSymtabEntsize");
constexpr uint32_t kRelTargetRange = ReaderStatusCode("RelTargetRange");
constexpr uint32_t kRelNullEntry = ReaderStatusCode("RelNullEntry");
constexpr uint32_t kRelSymbol = ReaderStatusCode("RelSymbol");
constexpr uint32_t kRelOffset = ReaderStatusCode("RelOffset");

bool InRange(uint64_t value, uint64_t begin, uint64_t end) { return value >= begin && value < end; }

// A table entry (section or program header) that takes part in the
// placement rules, with its extent [begin, end).
struct Extent {
  uint64_t begin;
  uint64_t end;
};

// Whether no two extents overlap (all are non-empty), the usual case: then
// no start lies inside any other extent. Compilers lay contents out in table
// order, GCC with the relocation sections in a second ascending run after
// the symbol table, so the extents are dealt into two ascending sequences
// and merged, without sorting; any other order is sorted.
bool ExtentsAreDisjoint(const std::vector<Extent>& extents) {
  auto by_start = [](const Extent& a, const Extent& b) { return a.begin < b.begin; };
  std::vector<Extent> first, second;
  first.reserve(extents.size());
  bool dealt = true;
  for (const Extent& e : extents) {
    if (first.empty() || first.back().end <= e.begin) {
      first.push_back(e);
    } else if (second.empty() || second.back().end <= e.begin) {
      second.push_back(e);
    } else {
      dealt = false;
      break;
    }
  }
  std::vector<Extent> sorted;
  if (dealt) {
    sorted.resize(extents.size());
    std::merge(first.begin(), first.end(), second.begin(), second.end(), sorted.begin(), by_start);
  } else {
    sorted = extents;
    std::sort(sorted.begin(), sorted.end(), by_start);
  }
  for (size_t k = 1; k < sorted.size(); ++k)
    if (sorted[k - 1].end > sorted[k].begin) return false;
  return true;
}

// Sets inside_later[i] when some j > i has extents[j].begin <= extents[i].begin
// < extents[j].end. Walks from the last entry to the first; a Fenwick tree
// over the ranks of the start offsets holds, for every prefix of starts, the
// largest end among the entries already passed (the later ones).
void MarkStartsInsideLater(const std::vector<Extent>& extents, std::vector<uint8_t>& inside_later) {
  size_t n = extents.size();
  inside_later.assign(n, 0);
  if (ExtentsAreDisjoint(extents)) return;
  std::vector<uint64_t> starts(n);
  for (size_t i = 0; i < n; ++i) starts[i] = extents[i].begin;
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  std::vector<uint64_t> tree(starts.size() + 1, 0);  // 1-based prefix maxima of end
  for (size_t i = n; i-- > 0;) {
    uint64_t start = extents[i].begin;
    // Later entries whose start is at or below this start: ranks 1..count.
    size_t count = static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), start) - starts.begin());
    uint64_t furthest = 0;
    for (size_t k = count; k > 0; k -= k & (~k + 1)) furthest = std::max(furthest, tree[k]);
    if (furthest > start) inside_later[i] = 1;
    // count is also this start's own rank.
    for (size_t k = count; k < tree.size(); k += k & (~k + 1)) tree[k] = std::max(tree[k], extents[i].end);
  }
}

class Reader {
 public:
  Reader(uint8_t* image, uint32_t length, bool* written) : image_(image), length_(length), written_(written) {}

  uint32_t Run() {
    if (uint32_t code = CheckHeader()) return code;
    if (uint32_t code = CheckSectionPlacement()) return code;
    if (uint32_t code = CheckProgramPlacement()) return code;
    if (uint32_t code = CheckExtents()) return code;
    if (uint32_t code = CheckSectionNames()) return code;
    if (uint32_t code = CheckIndexTableLinks()) return code;
    if (uint32_t code = CheckConvertedTablesClearOfHeaders()) return code;
    for (uint32_t i = 1; i < shnum_; ++i) {
      SectionHeader s = LoadSection(i);
      if (s.sh_type != SHT_SYMTAB || (s.sh_flags & SHF_SIZE_PREFIXED) != 0) continue;
      if (uint32_t code = CheckSymbolTable(i, s)) return code;
    }
    for (uint32_t i = 1; i < shnum_; ++i) {
      SectionHeader s = LoadSection(i);
      if ((s.sh_flags & SHF_SIZE_PREFIXED) != 0) continue;
      uint32_t code = 0;
      if (s.sh_type == SHT_RELA) code = CheckRelaTable(i, s);
      if (s.sh_type == SHT_REL) code = CheckRelTable(i, s);
      if (code != 0) return code;
    }
    for (uint32_t i = 1; i < shnum_; ++i) {
      SectionHeader s = LoadSection(i);
      if (s.sh_type != SHT_GROUP || (s.sh_flags & SHF_SIZE_PREFIXED) != 0) continue;
      if (uint32_t code = CheckGroup(s)) return code;
    }
    return 0;
  }

 private:
  uint64_t SectionHeaderOffset(uint32_t index) const {
    return static_cast<uint64_t>(header_.e_shoff) + static_cast<uint64_t>(index) * shentsize_;
  }
  uint64_t ProgramHeaderOffset(uint32_t index) const {
    return static_cast<uint64_t>(header_.e_phoff) + static_cast<uint64_t>(index) * phentsize_;
  }
  uint64_t SectionTableEnd() const { return SectionHeaderOffset(shnum_); }
  uint64_t ProgramTableEnd() const { return ProgramHeaderOffset(header_.e_phnum); }

  // Section and program headers lie inside the image once the header checks
  // have passed (entry sizes are at least the record sizes).
  SectionHeader LoadSection(uint32_t index) const {
    return LoadAt<SectionHeader>(image_ + SectionHeaderOffset(index));
  }
  ProgramHeader LoadProgram(uint32_t index) const {
    return LoadAt<ProgramHeader>(image_ + ProgramHeaderOffset(index));
  }

  static bool HasContent(const SectionHeader& s) { return s.sh_size != 0 && s.sh_type != SHT_NOBITS; }
  static bool HasContent(const ProgramHeader& p) { return p.p_filesz != 0 && p.p_type != 0; }

  // Every store into the image goes through here, so the caller learns
  // that the view holds changed bytes before the first one is changed.
  template <class T>
  void Store(uint8_t* at, const T& value) {
    if (written_ != nullptr) *written_ = true;
    StoreAt(at, value);
  }

  uint32_t Swap32IfBig(uint32_t v) const { return big_ ? Bswap32(v) : v; }

  // Content size of a section: its size word when it is size-prefixed (read
  // only from inside its own extent, which CheckExtents has tested), else
  // sh_size.
  uint32_t ContentSize(const SectionHeader& s) const {
    if ((s.sh_flags & SHF_SIZE_PREFIXED) == 0) return s.sh_size;
    if (s.sh_type == SHT_NOBITS || s.sh_size < 4) return 0;
    return Swap32IfBig(LoadAt<uint32_t>(image_ + s.sh_offset));
  }

  uint32_t CheckHeader() {
    if (length_ < kMinimumObjectSize) return kTooShort;
    if (!HasElfMagic(image_, length_)) return kBadMagic;
    if (image_[EI_CLASS] != 1) return kBadClass;
    if (image_[EI_VERSION] > 1) return kBadIdentVersion;

    big_ = !IsLittleEndianIdent(image_);
    header_ = LoadAt<ElfHeader>(image_);
    if (big_) {
      SwapElfHeader(header_);
      Store(image_, header_);
    }
    const ElfHeader& h = header_;
    if (h.e_machine == 0) return kNoMachine;
    if (h.e_version != 1) return kBadVersion;
    if (h.e_ehsize >= 1 && h.e_ehsize < kElfHeaderSize) return kHeaderSizeTooSmall;
    ehsize_ = h.e_ehsize == 0 ? kElfHeaderSize : h.e_ehsize;
    phentsize_ = h.e_phentsize == 0 ? kProgramHeaderSize : h.e_phentsize;
    shentsize_ = h.e_shentsize == 0 ? kSectionHeaderSize : h.e_shentsize;
    if (ehsize_ >= static_cast<uint64_t>(length_) - 208) return kHeaderSizeTooLarge;
    // A table at offset 0 with entries would lie on the ELF header itself.
    if (h.e_phoff == 0 ? h.e_phnum != 0 : (h.e_phoff < ehsize_ || h.e_phoff >= length_)) return kBadPhoff;
    if (h.e_shoff == 0 ? h.e_shnum != 0 : (h.e_shoff < ehsize_ || h.e_shoff >= length_)) return kBadShoff;
    ReadSectionNumbering();
    if (shstrndx_ != 0 && shstrndx_ >= shnum_) return kBadShstrndx;
    // Entries are read as whole records, so a shorter stride would make them overlap.
    if (h.e_phnum != 0 && phentsize_ < kProgramHeaderSize) return kProgramTableOutside;
    if (ProgramTableEnd() > length_) return kProgramTableOutside;
    if (shnum_ != 0 && shentsize_ < kSectionHeaderSize) return kSectionTableOutside;
    if (SectionTableEnd() > length_) return kSectionTableOutside;
    return 0;
  }

  // The section count and the section-name table's index, from the header or,
  // under extended numbering, from section header 0 (converted then, as
  // later stages read it too). e_shoff is below the length here.
  void ReadSectionNumbering() {
    shnum_ = header_.e_shnum;
    shstrndx_ = header_.e_shstrndx;
    bool count_there = header_.e_shnum == 0 && header_.e_shoff != 0;
    bool names_there = header_.e_shstrndx == SHN_XINDEX;
    if (!count_there && !names_there) return;
    if (header_.e_shoff == 0 || static_cast<uint64_t>(header_.e_shoff) + kSectionHeaderSize > length_) {
      if (names_there) shstrndx_ = kNoSectionIndex;  // cannot be read: past any count
      return;
    }
    uint8_t* at = image_ + header_.e_shoff;
    SectionHeader first = LoadAt<SectionHeader>(at);
    if (big_) {
      SwapSectionHeader(first);
      Store(at, first);
    }
    if (count_there) shnum_ = first.sh_size;
    if (names_there) shstrndx_ = first.sh_link;
  }

  uint32_t CheckSectionPlacement() {
    uint32_t count = shnum_;
    if (big_) {
      // Index 0, the reserved null entry, stays as stored (unless
      // ReadSectionNumbering has converted it for its extended values).
      for (uint32_t i = 1; i < count; ++i) {
        SectionHeader s = LoadSection(i);
        SwapSectionHeader(s);
        Store(image_ + SectionHeaderOffset(i), s);
      }
    }
    std::vector<Extent> extents;
    std::vector<uint32_t> indices;
    extents.reserve(count);
    indices.reserve(count);
    for (uint32_t i = 1; i < count; ++i) {
      SectionHeader s = LoadSection(i);
      if (!HasContent(s)) continue;
      extents.push_back({s.sh_offset, static_cast<uint64_t>(s.sh_offset) + s.sh_size});
      indices.push_back(i);
    }
    std::vector<uint8_t> inside_later;
    MarkStartsInsideLater(extents, inside_later);

    bool has_program_table = header_.e_phoff != 0 && header_.e_phnum != 0;
    for (size_t k = 0; k < extents.size(); ++k) {
      uint64_t offset = extents[k].begin;
      if (offset < ehsize_) return kSectionInHeader;
      if (has_program_table && InRange(offset, header_.e_phoff, ProgramTableEnd())) return kSectionInProgramTable;
      if (InRange(offset, header_.e_shoff, SectionTableEnd())) return kSectionInSectionTable;
      if (inside_later[k]) return kSectionInLaterSection;
    }
    return 0;
  }

  uint32_t CheckProgramPlacement() {
    uint32_t count = header_.e_phnum;
    std::vector<Extent> extents;
    extents.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      ProgramHeader p = LoadProgram(i);
      if (big_) {
        SwapProgramHeader(p);
        Store(image_ + ProgramHeaderOffset(i), p);
      }
      if (HasContent(p)) extents.push_back({p.p_offset, static_cast<uint64_t>(p.p_offset) + p.p_filesz});
    }
    std::vector<uint8_t> inside_later;
    MarkStartsInsideLater(extents, inside_later);
    for (uint8_t inside : inside_later) {
      if (inside) return kProgramInLaterProgram;
    }
    return 0;
  }

  uint32_t CheckExtents() {
    for (uint32_t i = 1; i < shnum_; ++i) {
      SectionHeader s = LoadSection(i);
      if (HasContent(s) && static_cast<uint64_t>(s.sh_offset) + s.sh_size > length_) return kSectionOutside;
      if (s.sh_type == SHT_SYMTAB_SHNDX && first_index_table_ == 0) first_index_table_ = i;
    }
    for (uint32_t i = 0; i < header_.e_phnum; ++i) {
      ProgramHeader p = LoadProgram(i);
      if (HasContent(p) && static_cast<uint64_t>(p.p_offset) + p.p_filesz > length_) return kProgramOutside;
    }
    return 0;
  }

  uint32_t CheckSectionNames() const {
    if (shstrndx_ == 0) return 0;
    SectionHeader names = LoadSection(shstrndx_);
    if (names.sh_type != SHT_STRTAB) return kNamesNotStrtab;
    uint32_t limit = ContentSize(names);
    for (uint32_t i = 1; i < shnum_; ++i) {
      if (LoadSection(i).sh_name >= limit) return kSectionNameOutside;
    }
    return 0;
  }

  // Every SHT_SYMTAB_SHNDX table must belong to a symbol table, before any
  // symbol is looked up in one; its length is checked, and its words
  // converted, with that symbol table.
  uint32_t CheckIndexTableLinks() const {
    if (first_index_table_ == 0) return 0;
    for (uint32_t i = first_index_table_; i < shnum_; ++i) {
      SectionHeader s = LoadSection(i);
      if (s.sh_type != SHT_SYMTAB_SHNDX || (s.sh_flags & SHF_SIZE_PREFIXED) != 0) continue;
      if (s.sh_link >= shnum_) return kSymtabLinkRange;
      if (s.sh_link == 0 || LoadSection(s.sh_link).sh_type != SHT_SYMTAB) return kSymtabLinkType;
    }
    return 0;
  }

  // Converting a table in place that runs into the section headers would
  // rewrite headers already checked (header 0 twice, under extended
  // numbering). Only a big-endian image is converted.
  uint32_t CheckConvertedTablesClearOfHeaders() const {
    if (!big_) return 0;
    for (uint32_t i = 1; i < shnum_; ++i) {
      SectionHeader s = LoadSection(i);
      if (!HasContent(s) || !IsConvertedTable(s)) continue;
      if (s.sh_offset < header_.e_shoff && uint64_t{s.sh_offset} + s.sh_size > header_.e_shoff) {
        return kSectionInSectionTable;
      }
    }
    return 0;
  }

  // The index table of symbol table `index`, as ElfImage::FindSymbolIndexTable
  // finds it; 0 when there is none.
  uint32_t FindIndexTable(uint32_t index) const {
    if (first_index_table_ == 0) return 0;  // the usual case: no such table at all
    for (uint32_t i = first_index_table_; i < shnum_; ++i) {
      SectionHeader s = LoadSection(i);
      if (s.sh_type == SHT_SYMTAB_SHNDX && s.sh_link == index && (s.sh_flags & SHF_SIZE_PREFIXED) == 0) return i;
    }
    return 0;
  }

  uint32_t CheckSymbolTable(uint32_t index, const SectionHeader& table) {
    if (table.sh_size == 0) return 0;
    uint32_t link = table.sh_link;
    if (link >= shnum_) return kSymtabLinkRange;
    SectionHeader strings{};
    if (link != 0) {
      strings = LoadSection(link);
      if (strings.sh_type != SHT_STRTAB) return kSymtabLinkType;
    }
    uint32_t entsize = table.sh_entsize == 0 ? kSymbolSize : table.sh_entsize;
    if (entsize < kSymbolSize) return kSymtabEntsize;
    uint32_t count = table.sh_size / entsize;
    if (count == 0) return kSymtabEmpty;
    // One 4-byte section index per symbol; its extent passed CheckExtents.
    const uint8_t* indices = nullptr;
    if (uint32_t index_table = FindIndexTable(index)) {
      SectionHeader words = LoadSection(index_table);
      if (words.sh_size / 4 < count) return kSymtabEmpty;
      indices = image_ + words.sh_offset;
      if (big_) {
        for (uint32_t k = 0; k < words.sh_size / 4; ++k) {
          uint8_t* at = image_ + words.sh_offset + static_cast<uint64_t>(k) * 4;
          Store(at, Bswap32(LoadAt<uint32_t>(at)));
        }
      }
    }
    // The table's extent passed CheckExtents, and count * entsize <= sh_size.
    for (uint32_t k = 0; k < count; ++k) {
      uint8_t* at = image_ + table.sh_offset + static_cast<uint64_t>(k) * entsize;
      ElfSymbol sym = LoadAt<ElfSymbol>(at);
      if (big_) {
        SwapSymbol(sym);
        Store(at, sym);
      }
      if (link != 0 && sym.st_name >= strings.sh_size) return kSymbolName;
      uint8_t type = SymbolType(sym.st_info);
      uint32_t shndx = sym.st_shndx;
      if (shndx >= SHN_LORESERVE) {
        // Reserved indices stand as they are; SHN_XINDEX sends us to the index table.
        if (shndx != SHN_XINDEX || type == STT_SECTION || type == STT_FILE) continue;
        if (indices == nullptr) return kSymbolSection;
        shndx = LoadAt<uint32_t>(indices + static_cast<uint64_t>(k) * 4);
      }
      if (shndx == SHN_UNDEF || type == STT_SECTION || type == STT_FILE) continue;
      if (shndx >= shnum_) return kSymbolSection;
      if (type != STT_OBJECT && type != STT_FUNC) continue;
      SectionHeader home = LoadSection(shndx);
      if (home.sh_size == 0 || (home.sh_flags & SHF_ALLOC) == 0) continue;
      bool object = type == STT_OBJECT;
      if (home.sh_type == SHT_NULL) return object ? kObjectInNull : kFunctionInNull;
      uint64_t value = sym.st_value;
      if (value < home.sh_addr || value - home.sh_addr > home.sh_size ||
          value - home.sh_addr + sym.st_size > home.sh_size) {
        return object ? kObjectOutside : kFunctionOutside;
      }
    }
    return 0;
  }

  // A relocation table for the null section must begin with one all-zero
  // entry; it is then emptied for every later stage.
  bool AcceptNullSectionTable(uint32_t index, SectionHeader table, uint32_t entsize) {
    const uint8_t* first = image_ + table.sh_offset;
    if (table.sh_addralign >= 4) {
      if (entsize % 4 != 0) return false;
      for (uint32_t k = 0; k < entsize; k += 4) {
        if (LoadAt<uint32_t>(first + k) != 0) return false;
      }
    } else {
      for (uint32_t k = 0; k < entsize; ++k) {
        if (first[k] != 0) return false;
      }
    }
    table.sh_size = 0;
    Store(image_ + SectionHeaderOffset(index), table);
    return true;
  }

  uint32_t CheckRelaTable(uint32_t index, const SectionHeader& table) {
    if (table.sh_size == 0) return 0;
    uint32_t entsize = table.sh_entsize == 0 ? kRelaSize : table.sh_entsize;
    if (entsize < kRelaSize) return kRelaEntsize;
    uint32_t count = table.sh_size / entsize;
    if (count == 0) return kRelaEmpty;
    uint32_t link = table.sh_link;
    if (link >= shnum_) return kRelaLinkRange;
    if (link == 0) return 0;  // no symbol table: accepted as it stands
    SectionHeader symtab = LoadSection(link);
    if (symtab.sh_type != SHT_SYMTAB) return kRelaLinkType;
    uint32_t symbol_entsize = symtab.sh_entsize == 0 ? kSymbolSize : symtab.sh_entsize;
    if (symbol_entsize < kSymbolSize) return kRelaSymtabEntsize;
    if (table.sh_info >= shnum_) return kRelaTargetRange;
    uint32_t symbols = ContentSize(symtab) / symbol_entsize;
    SectionHeader target = LoadSection(table.sh_info);
    if (target.sh_type == SHT_NULL) return AcceptNullSectionTable(index, table, entsize) ? 0 : kRelaNullEntry;
    for (uint32_t k = 0; k < count; ++k) {
      uint8_t* at = image_ + table.sh_offset + static_cast<uint64_t>(k) * entsize;
      ElfRela rela = LoadAt<ElfRela>(at);
      if (big_) {
        SwapRela(rela);
        Store(at, rela);
      }
      if (RelocationType(rela.r_info) != 0 && RelocationSymbol(rela.r_info) >= symbols) return kRelaSymbol;
    }
    return 0;
  }

  uint32_t CheckRelTable(uint32_t index, const SectionHeader& table) {
    if (table.sh_size == 0) return 0;
    uint32_t entsize = table.sh_entsize == 0 ? kRelSize : table.sh_entsize;
    if (entsize < kRelSize) return kRelEntsize;
    uint32_t count = table.sh_size / entsize;
    if (count == 0) return kRelEmpty;
    uint32_t link = table.sh_link;
    if (link >= shnum_) return kRelLinkRange;
    // Section 0 is the null entry, never a symbol table, whatever it holds.
    if (link == 0) return kRelLinkType;
    SectionHeader symtab = LoadSection(link);
    if (symtab.sh_type != SHT_SYMTAB) return kRelLinkType;
    uint32_t symbol_entsize = symtab.sh_entsize == 0 ? kSymbolSize : symtab.sh_entsize;
    if (symbol_entsize < kSymbolSize) return kRelSymtabEntsize;
    if (table.sh_info >= shnum_) return kRelTargetRange;
    uint32_t symbols = symtab.sh_size / symbol_entsize;
    SectionHeader target = LoadSection(table.sh_info);
    if (target.sh_type == SHT_NULL) return AcceptNullSectionTable(index, table, entsize) ? 0 : kRelNullEntry;
    for (uint32_t k = 0; k < count; ++k) {
      uint8_t* at = image_ + table.sh_offset + static_cast<uint64_t>(k) * entsize;
      ElfRel rel = LoadAt<ElfRel>(at);
      if (big_) {
        rel.r_offset = Bswap32(rel.r_offset);
        rel.r_info = Bswap32(rel.r_info);
        Store(at, rel);
      }
      if (RelocationSymbol(rel.r_info) >= symbols) return kRelSymbol;
      if (rel.r_offset >= target.sh_size) return kRelOffset;
    }
    return 0;
  }

  // The flag word and at least one member, in whole words; each member a
  // real section. Its extent passed CheckExtents.
  uint32_t CheckGroup(const SectionHeader& group) {
    if (group.sh_size < 8 || group.sh_size % 4 != 0) return kSymtabEmpty;
    for (uint32_t k = 0; k < group.sh_size / 4; ++k) {
      uint8_t* at = image_ + group.sh_offset + static_cast<uint64_t>(k) * 4;
      uint32_t word = LoadAt<uint32_t>(at);
      if (big_) {
        word = Bswap32(word);
        Store(at, word);
      }
      if (k != 0 && (word == 0 || word >= shnum_)) return kSymbolSection;
    }
    return 0;
  }

  uint8_t* image_;
  uint32_t length_;
  bool* written_;
  bool big_ = false;
  ElfHeader header_{};
  uint32_t shnum_ = 0;     // the real section count
  uint32_t shstrndx_ = 0;  // the real index of the section-name table
  uint32_t first_index_table_ = 0;  // the first SHT_SYMTAB_SHNDX section, 0 for none
  uint64_t ehsize_ = kElfHeaderSize;
  uint64_t phentsize_ = kProgramHeaderSize;
  uint64_t shentsize_ = kSectionHeaderSize;
};

}  // namespace

uint32_t ParseElfImage(uint8_t* image, uint32_t length) { return ParseElfImage(image, length, nullptr); }

uint32_t ParseElfImage(uint8_t* image, uint32_t length, bool* written) {
  if (image == nullptr) return kTooShort;
  try {
    return Reader(image, length, written).Run();
  } catch (const std::bad_alloc&) {
    // Only the placement checks' scratch tables allocate.
    return static_cast<uint32_t>(kEOutOfMemory);
  }
}

bool IsElfObject(uint8_t* bytes, uint64_t size, bool* written) {
  return size <= UINT32_MAX && ParseElfImage(bytes, static_cast<uint32_t>(size), written) == 0;
}

}  // namespace prepqdm
