// The inspector's reader for export objects and import libraries.
//
// Every image first goes through ParseElfImage, exactly as prepqdm reads its
// inputs, so the headers, symbols and relocations are in host order and their
// tables lie inside the image; everything after that (table words, names,
// slots) is read through ElfImage's checked accessors. Table words and import
// section words are not converted by the reader and are read in the file's
// own order. Tables are found by section type, as the import library builder
// finds them: an SHT_QDM_EXPORTS section with SHF_EXECINSTR is the code
// table, any other the data table, and a table's relocations are the SHT_RELA
// section whose sh_info names it.
//
// Each check that fails adds one line to the report's problems; the dump goes
// on, so one run shows everything that is wrong with a file.
#include "inspect/file_inspector.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>

#include "elf/ar_format.h"
#include "elf/archive_reader.h"
#include "elf/elf_image.h"
#include "elf/elf_reader.h"
#include "elf/lto_objects.h"
#include "elf/reader_status.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "output/crc32.h"
#include "output/export_object_reader.h"
#include "output/export_object_writer.h"
#include "output/export_table.h"
#include "output/output_file.h"
#include "symbols/symbol_table.h"

namespace prepqdm {

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

// Names in problem lines are quoted; they are bytes and stay bytes here (the
// renderers make them printable).
std::string Quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

std::string EntryLabel(const ExportEntryFacts& entry) {
  std::string label = Format("entry %u", entry.index);
  if (entry.name) label += " " + Quoted(*entry.name);
  return label;
}

// CRC-32 of names in table order, each with its NUL, then the zero tail: the
// value an export table made from these names stores.
uint32_t CrcOfNames(const std::vector<std::string>& names) {
  uint32_t crc = 0;
  static constexpr uint8_t kZeros[kTableTrailer + 1] = {};
  for (const std::string& name : names) {
    crc = Crc32(crc, reinterpret_cast<const uint8_t*>(name.data()), name.size());
    crc = Crc32(crc, kZeros, 1);
  }
  return Crc32(crc, kZeros, kTableTrailer);
}

// The import library of a module that exports nothing holds this stub: no
// import section, the null symbol alone, and its two string tables.
bool IsEmptyImportStub(const ElfImage& image) {
  static constexpr struct {
    std::string_view name;
    uint32_t type;
  } kSections[] = {{"", SHT_NULL},
                   {kSymbolTableSection, SHT_SYMTAB},
                   {kStringTableSection, SHT_STRTAB},
                   {kSectionNameTableSection, SHT_STRTAB}};
  constexpr uint32_t kCount = sizeof kSections / sizeof kSections[0];
  if (image.SectionCount() != kCount || image.SectionNamesIndex() != kCount - 1) return false;
  for (uint32_t i = 1; i < kCount; ++i) {
    std::optional<SectionHeader> section = image.Section(i);
    if (!section || section->sh_type != kSections[i].type || image.SectionName(i) != kSections[i].name) return false;
  }
  const SectionHeader symtab = *image.Section(1);
  return symtab.sh_size / SymbolEntrySize(symtab) == 1;
}

class ObjectReader {
 public:
  ObjectReader(const ElfImage& image, ObjectReport& report)
      : image_(image), report_(report) {}

  void Run() {
    ElfHeader header = image_.Header();
    if (header.e_type != ET_REL) {
      report_.error = Format("not a relocatable object (e_type %u)", header.e_type);
      return;
    }
    ObjectFacts facts;
    facts.ei_data = header.e_ident[EI_DATA];
    facts.big_endian = facts.ei_data != ELFDATA2LSB;
    facts.machine = header.e_machine;
    facts.section_count = image_.SectionCount();

    const ExportTableIndices tables = FindExportTables(image_);
    const std::vector<uint32_t>& code_tables = tables.code;
    const std::vector<uint32_t>& data_tables = tables.data;
    std::vector<uint32_t> import_sections;
    for (uint32_t i = 1; i < facts.section_count; ++i) {
      std::optional<SectionHeader> s = image_.Section(i);
      if (!s) continue;
      if (s->sh_type == SHT_QDM_IMPORTS) import_sections.push_back(i);
      // The reader neither checks nor converts a size-prefixed table.
      if (s->sh_type == SHT_SYMTAB && symtab_index_ == 0 && !(s->sh_flags & SHF_SIZE_PREFIXED)) symtab_index_ = i;
    }
    if (symtab_index_ != 0) {
      symtab_ = *image_.Section(symtab_index_);
      symbol_index_table_ = image_.FindSymbolIndexTable(symtab_index_);
      facts.symbol_count = symtab_.sh_size / SymbolEntrySize(symtab_);
    }

    if (!code_tables.empty() || !data_tables.empty()) {
      facts.kind = ObjectKind::kExportObject;
      if (code_tables.size() > 1) Problem("more than one code table; prepqdm reads the last");
      if (data_tables.size() > 1) Problem("more than one data table; prepqdm reads the last");
      if (!import_sections.empty()) Problem("import sections in an export object");
      for (uint32_t index : code_tables) facts.export_tables.push_back(ReadExportTable(index, true));
      for (uint32_t index : data_tables) facts.export_tables.push_back(ReadExportTable(index, false));
      CheckExportSymbols(facts);
    } else if (!import_sections.empty()) {
      facts.kind = ObjectKind::kImportStub;
      for (uint32_t index : import_sections) facts.import_tables.push_back(ReadImportTable(index));
      ReadImportSlots(facts);
    } else if (IsEmptyExportObject(image_)) {
      facts.kind = ObjectKind::kEmptyExportObject;
    } else if (IsEmptyImportStub(image_)) {
      facts.kind = ObjectKind::kEmptyImportStub;
    } else if (IsSlimLtoObject(image_)) {
      // prepqdm stops at it: say why rather than what it is not.
      report_.error = kSlimLtoWords;
      return;
    } else {
      report_.error = "neither an export object nor an import library stub (no export or import sections)";
      return;
    }
    report_.object = std::move(facts);
  }

 private:
  void Problem(std::string text) { report_.problems.push_back(std::move(text)); }

  std::string SectionLabel(uint32_t index) const {
    std::optional<std::string_view> name = image_.SectionName(index);
    return name ? Format("section %u (%.*s)", index, static_cast<int>(name->size()), name->data())
                : Format("section %u", index);
  }

  std::optional<std::string> SymbolName(const SectionHeader& symtab, uint32_t symbol_index) const {
    const uint8_t* entry = image_.Entry(symtab, SymbolEntrySize(symtab), symbol_index, kSymbolSize);
    if (!entry) return std::nullopt;
    std::optional<std::string_view> name = image_.StringAt(symtab.sh_link, LoadAt<ElfSymbol>(entry).st_name);
    if (!name) return std::nullopt;
    return std::string(*name);
  }

  ExportTableFacts ReadExportTable(uint32_t index, bool code) {
    ExportTableFacts t;
    t.code = code;
    t.section_index = index;
    t.section_name = std::string(image_.SectionName(index).value_or(""));
    ExportTableView table;
    const TableRead read = prepqdm::ReadExportTable(image_, index, &table);
    if (read == TableRead::kOutside) {
      Problem(SectionLabel(index) + ": contents outside the file");
      return t;
    }
    const SectionHeader& section = table.section;
    const uint8_t* bytes = table.bytes;
    const uint32_t length = table.length;
    t.section_size = length;
    const std::string label = SectionLabel(index);
    if (read == TableRead::kTooShort) {
      Problem(Format("%s: %u bytes, too short for the entry count and CRC", label.c_str(), length));
      return t;
    }
    t.count = table.count;
    t.stored_crc = table.crc;
    const uint64_t name_area = TableNameArea(t.count);
    if (name_area > length) {
      Problem(Format("%s: %u entries do not fit the section (%u bytes)", label.c_str(), t.count, length));
    } else {
      t.computed_crc = Crc32(0, bytes + name_area, length - name_area);
      if (*t.computed_crc != t.stored_crc)
        Problem(Format("%s: CRC mismatch: stored 0x%08X, computed 0x%08X", label.c_str(), t.stored_crc,
                       *t.computed_crc));
      if (length - name_area < kTableTrailer)
        Problem(Format("%s: the name area ends without the %u zero bytes", label.c_str(),
                       static_cast<unsigned>(kTableTrailer)));
    }
    // Entries that lie wholly inside the section; a count beyond them is
    // reported above and the rest is not read.
    const uint32_t readable =
        static_cast<uint32_t>(std::min<uint64_t>(t.count, (length - kTableHeaderSize) / kTableEntrySize));

    // Relocations, mapped to the entry whose word 0 they fill.
    std::vector<uint32_t> relocation_of(readable, kNone);
    std::optional<SectionHeader> rela;
    std::optional<SectionHeader> symtab;
    t.relocation_section = FindTableRelocations(image_, index);
    if (t.relocation_section == 0) {
      if (t.count != 0) Problem(label + ": no relocation section");
    } else {
      rela = image_.Section(t.relocation_section);
      const std::string rela_label = SectionLabel(t.relocation_section);
      // Without a symbol table the reader leaves the entries in file order;
      // they are not read.
      if (rela->sh_link == 0 || (rela->sh_flags & SHF_SIZE_PREFIXED)) {
        Problem(rela_label + (rela->sh_link == 0 ? ": no symbol table linked" : ": size-prefixed, not read"));
        rela.reset();
      } else {
        symtab = image_.Section(rela->sh_link);
        if (symtab && (symtab->sh_flags & SHF_SIZE_PREFIXED)) symtab.reset();
        uint32_t entry_size = RelocationEntrySize(*rela);
        t.relocation_count = rela->sh_size / entry_size;
        if (t.relocation_count != t.count)
          Problem(Format("%s: %u relocations for %u entries", rela_label.c_str(), t.relocation_count, t.count));
        for (uint32_t k = 0; k < t.relocation_count; ++k) {
          const uint8_t* at = image_.Entry(*rela, entry_size, k, kRelaSize);
          if (!at) break;
          ElfRela r = LoadAt<ElfRela>(at);
          uint32_t relative = r.r_offset - section.sh_addr;
          std::optional<uint64_t> slot = TableEntryIndexAt(relative);
          if (slot && *slot < readable && relocation_of[*slot] == kNone) {
            relocation_of[*slot] = k;
          } else {
            Problem(Format("%s: relocation %u at offset 0x%X fills no entry", rela_label.c_str(), k, relative));
          }
        }
      }
    }

    for (uint32_t i = 0; i < readable; ++i) {
      ExportEntryFacts e;
      e.index = i;
      // Inside the section: `readable` counts whole entries only.
      uint32_t word = table.NameWord(i).value_or(0);
      e.tls = (word & kTableTlsBit) != 0;
      e.name_offset = word & ~kTableTlsBit;
      if (std::optional<std::string_view> name = table.NameAt(e.name_offset)) e.name = std::string(*name);
      std::string entry = label + ": " + EntryLabel(e);
      if (e.name_offset >= length) {
        Problem(Format("%s: name offset 0x%X outside the section (%u bytes)", entry.c_str(), e.name_offset, length));
      } else if (!e.name) {
        Problem(Format("%s: name at 0x%X has no terminating NUL in the section", entry.c_str(), e.name_offset));
      } else if (e.name_offset < name_area) {
        Problem(Format("%s: name offset 0x%X points into the entries", entry.c_str(), e.name_offset));
      }
      if (code && e.tls) Problem(entry + ": TLS mark in the code table");
      if (i > 0 && e.name && t.entries.back().name) {
        const std::string& previous = *t.entries.back().name;
        if (CompareNames(previous, *e.name) >= 0)
          Problem(entry + ": not after " + Quoted(previous) + " in name order");
      }
      const uint8_t* at = rela && relocation_of[i] != kNone
                              ? image_.Entry(*rela, RelocationEntrySize(*rela), relocation_of[i], kRelaSize)
                              : nullptr;
      if (at != nullptr) {
        ElfRela r = LoadAt<ElfRela>(at);
        EntryRelocation relocation;
        relocation.index = relocation_of[i];
        relocation.type = RelocationType(r.r_info);
        relocation.symbol_index = RelocationSymbol(r.r_info);
        if (symtab) relocation.symbol_name = SymbolName(*symtab, relocation.symbol_index);
        uint32_t expected = !code && e.tls ? R_PPC_DTPREL32 : R_PPC_ADDR32;
        if (relocation.type != expected)
          Problem(Format("%s: relocation type %u, %u expected", entry.c_str(), relocation.type, expected));
        if (!relocation.symbol_name) {
          Problem(Format("%s: relocation symbol %u has no readable name", entry.c_str(), relocation.symbol_index));
        } else if (e.name && *relocation.symbol_name != *e.name) {
          Problem(entry + ": relocated against " + Quoted(*relocation.symbol_name));
        }
        e.relocation = std::move(relocation);
      } else if (rela || t.relocation_section == 0) {
        Problem(entry + ": no relocation");
      }
      t.entries.push_back(std::move(e));
    }
    return t;
  }

  // The symbol table of an export object: the null symbol, each table's
  // entry symbols and its table symbol.
  void CheckExportSymbols(const ObjectFacts& facts) {
    uint64_t expected = 1;
    for (const ExportTableFacts& t : facts.export_tables)
      if (t.count != 0) expected += uint64_t{t.count} + 1;
    if (symtab_index_ == 0) {
      Problem("no symbol table");
      return;
    }
    if (facts.symbol_count != expected)
      Problem(Format("%s: %u symbols, %llu expected for the tables' entry counts", SectionLabel(symtab_index_).c_str(),
                     facts.symbol_count, static_cast<unsigned long long>(expected)));
    for (const ExportTableFacts& t : facts.export_tables) {
      const char* table_symbol = t.code ? kCodeTableSymbol : kDataTableSymbol;
      bool found = false;
      for (uint32_t k = 1; k < facts.symbol_count && !found; ++k) {
        const uint8_t* at = image_.Entry(symtab_, SymbolEntrySize(symtab_), k, kSymbolSize);
        if (!at) break;
        ElfSymbol s = LoadAt<ElfSymbol>(at);
        if (image_.StringAt(symtab_.sh_link, s.st_name) != std::string_view(table_symbol)) continue;
        found = true;
        uint32_t shndx = image_.SymbolSectionIndex(symbol_index_table_, k, s.st_shndx);
        if (shndx != t.section_index || s.st_size != t.section_size)
          Problem(Format("%s: in section %u with size %u, not section %u with size %u", table_symbol,
                         shndx >= ReservedSectionIndex(SHN_LORESERVE) ? s.st_shndx : shndx,
                         s.st_size, t.section_index, t.section_size));
      }
      if (!found) Problem(Format("no %s symbol", table_symbol));
    }
  }

  ImportTableFacts ReadImportTable(uint32_t index) {
    ImportTableFacts t;
    t.section_index = index;
    t.section_name = std::string(image_.SectionName(index).value_or(""));
    // An import section begins as an export table does: count and CRC.
    ExportTableView table;
    const TableRead read = prepqdm::ReadExportTable(image_, index, &table);
    const SectionHeader section = *image_.Section(index);
    t.code = (section.sh_flags & SHF_EXECINSTR) != 0;
    const std::string label = SectionLabel(index);
    if (read == TableRead::kOutside) {
      Problem(label + ": contents outside the file");
      return t;
    }
    const uint8_t* bytes = table.bytes;
    const uint32_t length = table.length;
    t.section_size = length;
    if (read == TableRead::kTooShort) {
      Problem(Format("%s: %u bytes, too short for the entry count and CRC", label.c_str(), length));
      return t;
    }
    t.count = table.count;
    t.stored_crc = table.crc;
    uint32_t name_length = section.sh_info;
    if (name_length > length - kImportNameOffset) {
      Problem(Format("%s: module name of %u bytes runs past the section", label.c_str(), name_length));
      name_length = static_cast<uint32_t>(length - kImportNameOffset);
    }
    t.module_name.assign(reinterpret_cast<const char*>(bytes + kImportNameOffset), name_length);
    std::string expected = std::string(t.code ? kCodeImportPrefix : kDataImportPrefix) + t.module_name;
    if (t.section_name != expected) Problem(label + ": name does not match module " + Quoted(t.module_name));
    return t;
  }

  // Each global symbol defined in an import section is one slot of it.
  void ReadImportSlots(ObjectFacts& facts) {
    if (symtab_index_ == 0) {
      Problem("no symbol table");
      return;
    }
    std::map<uint32_t, ImportTableFacts*> by_section;
    for (ImportTableFacts& t : facts.import_tables) by_section[t.section_index] = &t;
    uint32_t entry_size = SymbolEntrySize(symtab_);
    for (uint32_t k = 1; k < facts.symbol_count; ++k) {
      const uint8_t* at = image_.Entry(symtab_, entry_size, k, kSymbolSize);
      if (!at) break;
      ElfSymbol s = LoadAt<ElfSymbol>(at);
      auto found = by_section.find(image_.SymbolSectionIndex(symbol_index_table_, k, s.st_shndx));
      if (found == by_section.end()) continue;
      ImportTableFacts& t = *found->second;
      ImportSlotFacts slot;
      slot.symbol_index = k;
      slot.name = std::string(image_.StringAt(symtab_.sh_link, s.st_name).value_or(""));
      uint8_t type = SymbolType(s.st_info);
      slot.kind = type == STT_FUNC     ? "function"
                  : type == STT_OBJECT ? "data"
                  : type == STT_TLS    ? "thread-local data"
                                       : Format("type %u", type);
      std::string label = Format("%s: symbol %u %s", SectionLabel(t.section_index).c_str(), k,
                                 Quoted(slot.name).c_str());
      const std::optional<uint64_t> slot_index = TableEntryIndexAt(s.st_value);
      if (!slot_index) {
        Problem(Format("%s: value 0x%X is not a slot", label.c_str(), s.st_value));
        continue;
      }
      slot.slot = static_cast<uint32_t>(*slot_index);
      if (t.code != (type == STT_FUNC))
        Problem(label + ": " + slot.kind + (t.code ? " in the code import section" : " in the data import section"));
      if (SymbolBinding(s.st_info) != STB_GLOBAL) Problem(label + ": not global");
      t.slots.push_back(std::move(slot));
    }
    for (ImportTableFacts& t : facts.import_tables) {
      std::stable_sort(t.slots.begin(), t.slots.end(),
                       [](const ImportSlotFacts& a, const ImportSlotFacts& b) { return a.slot < b.slot; });
      bool complete = t.slots.size() == t.count;
      for (size_t i = 0; i < t.slots.size() && complete; ++i) complete = t.slots[i].slot == i;
      const std::string label = SectionLabel(t.section_index);
      if (!complete) {
        Problem(Format("%s: slots do not run 0 to %u once each (%zu symbols)", label.c_str(),
                       t.count == 0 ? 0 : t.count - 1, t.slots.size()));
        continue;
      }
      std::vector<std::string> names;
      for (const ImportSlotFacts& slot : t.slots) names.push_back(slot.name);
      t.computed_crc = CrcOfNames(names);
      if (*t.computed_crc != t.stored_crc)
        Problem(Format("%s: CRC 0x%08X does not match the slot names (0x%08X)", label.c_str(), t.stored_crc,
                       *t.computed_crc));
    }
  }

  const ElfImage& image_;
  ObjectReport& report_;
  uint32_t symtab_index_ = 0;
  uint32_t symbol_index_table_ = 0;
  SectionHeader symtab_{};
};

std::string MapFailure(Status status) {
  switch (status) {
    case kEFileNotFound: return "no such file";
    case kEPathNotFound: return "no such directory";
    case kEAccessDenied: return "access denied, or a directory";
    case kEFail: return "empty, or too large to map";
    case kEOutOfMemory: return "out of memory";
    default: return Format("cannot be mapped (0x%08X)", static_cast<uint32_t>(status));
  }
}

std::string Field(const uint8_t* header, ArField field) {
  std::string text(reinterpret_cast<const char*>(header + field.offset), field.width);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

constexpr char kStops[] = "prepqdm stops here";
constexpr char kPassesOver[] = "prepqdm passes this member over";

// A member as lib.a(member.o), with its header's offset: by its name, or by
// its name field when it has none.
std::string MemberLabel(const std::string& archive, const uint8_t* header, std::string_view name,
                        uint64_t header_offset) {
  const std::string shown = name.empty() ? Field(header, ArMemberHeader::kName) : std::string(name);
  return Format("%s(%s), header at byte %llu", archive.c_str(), shown.c_str(),
                static_cast<unsigned long long>(header_offset));
}

// Header bytes from `at` for `width`, as hexadecimal.
std::string HexBytes(const uint8_t* bytes, size_t width) {
  std::string text;
  for (size_t i = 0; i < width; ++i) text += Format("%s0x%02X", i == 0 ? "" : " ", bytes[i]);
  return text;
}

// The words for the check that ended the walk of `archive`.
std::string ArchiveStopWords(const std::string& archive, const ArchiveStop& stop) {
  if (stop.check == ArchiveCheck::kTooSmall)
    return Format("damaged archive: %llu bytes, less than the 8-byte magic and one 60-byte member header; %s",
                  static_cast<unsigned long long>(stop.available), kStops);
  const std::string label = MemberLabel(archive, stop.header, stop.name, stop.header_offset);
  const unsigned long long offset = stop.header_offset;
  const ArField size = ArMemberHeader::kSize;
  const std::string size_text = Field(stop.header, size);
  std::string words;
  switch (stop.check) {
    case ArchiveCheck::kHeaderEnd:
      words = Format("the header's end mark ar_fmag (at byte %llu) is %s, not 0x60 0x0A (a grave accent and a line "
                     "feed): the header is damaged, or the member before it is not as long as its ar_size says",
                     offset + ArMemberHeader::kEnd.offset,
                     HexBytes(stop.header + ArMemberHeader::kEnd.offset, 2).c_str());
      break;
    case ArchiveCheck::kZeroSize:
      words = Format("ar_size (at byte %llu) \"%s\" reads as 0", offset + size.offset, size_text.c_str());
      break;
    case ArchiveCheck::kBadSize:
      words = Format("ar_size (at byte %llu) \"%s\" is not a decimal size padded with spaces", offset + size.offset,
                     size_text.c_str());
      break;
    case ArchiveCheck::kPastEnd:
      words = Format("ar_size (at byte %llu) gives %llu bytes, but the file has %llu after the header: the archive "
                     "is cut short",
                     offset + size.offset, static_cast<unsigned long long>(stop.size),
                     static_cast<unsigned long long>(stop.available));
      break;
    case ArchiveCheck::kLongNames:
      words = "the members' names in the long-name table (ar_name \"/offset\") take too long to read";
      break;
    case ArchiveCheck::kNone:
    case ArchiveCheck::kTooSmall:
      break;
  }
  return "damaged archive: " + label + ": " + words + "; " + kStops;
}

}  // namespace

uint32_t InspectImage(uint8_t* data, uint32_t size, ObjectReport& report) {
  uint32_t code = ParseElfImage(data, size);
  if (code != 0) {
    if (size < kMinimumObjectSize) {
      report.error = Format("too short for an ELF object (%u bytes)", size);
    } else {
      // The reader's own message would name only the code.
      report.error = Format("refused by the ELF reader: error 0x%08X", code);
      if (std::optional<std::string> words = ReaderStatusWords(code)) report.error += ": " + *words;
      if (HasLlvmBitcodeMagic(data, size)) report.error += std::string("; ") + kLlvmBitcodeWords;
    }
    return code;
  }
  ObjectReader(ElfImage{data, size}, report).Run();
  return 0;
}

FileReport InspectFile(const std::string& path) {
  FileReport report;
  report.path = path;
  Mappings mappings;
  std::string captured;
  Sink console{nullptr, &captured};
  MappedFile* file = nullptr;
  Status status = MapFile(mappings, path, &file);
  if (status != kOk) {
    report.error = MapFailure(status);
    return report;
  }
  if (file->size == kArchiveMagicSize && std::memcmp(file->view, kArchiveMagic, kArchiveMagicSize) == 0) {
    // The magic alone: an archive without members, which prepqdm passes over.
    report.archive = true;
  } else if (file->size >= kArchiveMagicSize && std::memcmp(file->view, kArchiveMagic, kArchiveMagicSize) == 0) {
    report.archive = true;
    bool indexed = false;
    std::optional<uint64_t> long_names_size;  // once a long-name table is met
    ArchiveStop stop;
    status = WalkArchive(console, file, [&](const ArchiveMember& member) -> Status {
      ObjectReport object;
      MemberHeader header;
      header.offset = member.header_offset;
      header.name_field = Field(member.header, ArMemberHeader::kName);
      header.name = std::string(member.name);
      header.date = Field(member.header, ArMemberHeader::kDate);
      header.uid = Field(member.header, ArMemberHeader::kUid);
      header.gid = Field(member.header, ArMemberHeader::kGid);
      header.mode = Field(member.header, ArMemberHeader::kMode);
      header.size = Field(member.header, ArMemberHeader::kSize);
      object.member = header;
      const std::string label = MemberLabel(path, member.header, member.name, member.header_offset);
      const bool elf = HasElfMagic(member.data, member.size);
      if (member.long_name_table) {
        object.note = "long-name table";
        long_names_size = member.size;
      } else if (member.name.empty() && header.name_field == "/") {
        indexed = true;
        object.note = "archive symbol index";
      } else if (member.name.empty()) {
        object.note = "long name that cannot be resolved";
        object.problems.push_back(
            label + ": ar_name \"" + header.name_field + "\" refers to " +
            (long_names_size ? Format("the long-name table (%llu bytes), which holds no name there",
                                      static_cast<unsigned long long>(*long_names_size))
                             : std::string("a long-name table, and none comes before it")) +
            "; " + kPassesOver);
      } else if (IsObjectMemberName(member.name)) {
        // prepqdm opens it as an object: refused by the ELF reader, not
        // relocatable, without sections or a slim LTO object, the run stops.
        const uint32_t code = InspectImage(member.data, static_cast<uint32_t>(member.size), object);
        bool stops = code != 0;
        if (code == 0) {
          const ElfImage image{member.data, static_cast<uint32_t>(member.size)};
          stops = image.Header().e_type != ET_REL || image.SectionCount() == 0 || IsSlimLtoObject(image);
        }
        // The error line names the member already.
        if (stops)
          object.error = Format("header at byte %llu: ", static_cast<unsigned long long>(member.header_offset)) +
                         object.error + "; " + kStops;
      } else if (!elf) {
        // An import library holds its stub and nothing else.
        object.note = "not an ELF object";
        object.problems.push_back(label + ": not an ELF object, and its name does not mark it as one; " +
                                  std::string(kPassesOver));
      } else {
        InspectImage(member.data, static_cast<uint32_t>(member.size), object);
        object.problems.push_back(label +
                                  ": an ELF object, but its name does not mark it as one (a '.' then 'o' or 'O' "
                                  "after its last '.', as in util.o); " +
                                  kPassesOver);
      }
      report.objects.push_back(std::move(object));
      return kOk;
    }, &stop);
    // A linker cannot take symbols from an archive without an index: the
    // archiver did not run, or failed.
    for (ObjectReport& object : report.objects)
      if (!indexed && object.object &&
          (object.object->kind == ObjectKind::kImportStub || object.object->kind == ObjectKind::kEmptyImportStub))
        object.problems.push_back("no archive symbol index (the archiver, ax -ts, did not index the library)");
    if (status != kOk) report.error = ArchiveStopWords(path, stop);
  } else if (HasElfMagic(file->view, file->size)) {
    ObjectReport object;
    InspectImage(file->view, static_cast<uint32_t>(file->size), object);
    report.objects.push_back(std::move(object));
  } else {
    report.error = "neither an ELF object nor an ar archive";
    if (HasLlvmBitcodeMagic(file->view, file->size)) report.error += std::string(": ") + kLlvmBitcodeWords;
  }
  ReleaseMappedFile(file);
  return report;
}

}  // namespace prepqdm
