// The import library is made from the export object on disk, read back after
// it was written. The stub object has one import section per export table
// (named and laid out as export_table.h says) holding the table's entry count
// and CRC, then the module name; each exported name becomes a global symbol
// defined at its slot in that section, a function for code, an object or TLS
// object for data. Byte order, machine and the 64-byte
// layout are those of the export object. In archive mode the stub is the only
// member of an `ar` archive, which the toolchain archiver indexes afterwards.
//
// A module that exports nothing still gets its library, in the empty form: a
// stub without import sections (null, ".symtab" with the null symbol alone,
// ".strtab", ".secstrtab"). A build that declares the library as an output
// then finds it after every run, and a library left by an earlier run never
// goes on claiming exports the module no longer has.
//
// The export object could have been replaced between writing and reading, so
// nothing in it is trusted: every table word, name and relocation is read
// through a checked range, and anything out of range stops the build before
// the library file is touched.
#include "output/import_library.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "elf/ar_format.h"
#include "elf/elf_format.h"
#include "elf/elf_image.h"
#include "elf/elf_reader.h"
#include "host/environment.h"
#include "output/export_object_reader.h"
#include "output/export_table.h"
#include "output/object_assembly.h"
#include "output/output_file.h"
#include "output/section_layout.h"

namespace prepqdm {

namespace {

constexpr uint64_t kArchiveHeaderSize = kArchiveMagicSize + kArchiveMemberHeaderSize;
constexpr size_t kStubMemberStemLimit = 13;  // with ".o/", as much as the name field holds
constexpr uint32_t kStubMemberMode = 0100666;

constexpr WriteMessages kStubMessages = {
    "*** error writing zeros to output file.\n",
    "*** error seeking in output file.\n",
    "*** error writing to output file.\n",
    "*** error seeking in output file to write section data.\n",
    "*** error writing to output file.\n",
    "*** error seeking in output file to write section headers.\n",
    "*** error writing section headers.\n",
};

Status Inconsistent(const ImportLibrarySettings& settings, Sink& console) {
  Print(console, "***Error: Inconsistent export object \"%s\". Return -1.\n", settings.export_object_path.c_str());
  return -1;
}

// One entry of an export table as the checking pass reads it.
struct StubSymbol {
  std::string_view name;
  uint8_t info;  // the stub symbol's type and binding
};

// The `ar_date` field: SOURCE_DATE_EPOCH when it holds a decimal number that
// fits the field (reproducible builds), else the current time.
unsigned long long ArchiveDate() {
  if (const std::optional<std::string> value = EnvironmentValue("SOURCE_DATE_EPOCH")) {
    const char* epoch = value->c_str();
    size_t length = strlen(epoch);
    if (length > 0 && strspn(epoch, "0123456789") == length &&
        length - strspn(epoch, "0") <= ArMemberHeader::kDate.width)
      return strtoull(epoch, nullptr, 10);
  }
  return static_cast<unsigned long long>(time(nullptr));
}

// The archive's start: its magic and the stub's member header, named after
// the module.
std::string ArchiveHeader(const std::string& base_name, uint64_t member_size) {
  const std::string member_name = base_name.substr(0, kStubMemberStemLimit) + kStubMemberSuffix + "/";
  return kArchiveMagic + ArMemberHeaderText({member_name, ArchiveDate(), 0, 0, kStubMemberMode, member_size});
}

// What can be wrong with one entry of an export table, in the order the
// checks meet it.
enum class SlotFault { kNone, kInconsistent, kMismatchedRelocation, kUnexpectedTls };

// The data table's relocations, when it has them.
struct DataRelocations {
  const ElfImage* image = nullptr;
  std::optional<SectionHeader> section;
  uint32_t entry_size = kRelaSize;
};

// Entry `i` of `table`: its name and the stub symbol's type. A data export's
// relocation must fill its entry; its type tells a TLS symbol, which the
// entry must mark too. Prints nothing: the caller reports.
SlotFault ReadSlot(const ExportTableView& table, uint64_t i, uint8_t info, const DataRelocations* relocations,
                   StubSymbol* symbol) {
  std::optional<uint32_t> word = table.NameWord(i);
  std::optional<std::string_view> name = word ? table.NameAt(*word & ~kTableTlsBit) : std::nullopt;
  if (!name) return SlotFault::kInconsistent;
  *symbol = StubSymbol{*name, info};
  if (relocations == nullptr || !relocations->section) return SlotFault::kNone;
  const uint8_t* entry =
      relocations->image->Entry(*relocations->section, relocations->entry_size, static_cast<uint32_t>(i), kRelaSize);
  if (!entry) return SlotFault::kInconsistent;
  ElfRela r = LoadAt<ElfRela>(entry);  // host order after parsing
  if (static_cast<uint32_t>(r.r_offset - table.section.sh_addr) != TableEntryAt(i))
    return SlotFault::kMismatchedRelocation;
  if (RelocationType(r.r_info) == R_PPC_DTPREL32) {
    if (!(*word & kTableTlsBit)) return SlotFault::kUnexpectedTls;
    symbol->info = kGlobalTls;
  }
  return SlotFault::kNone;
}

// The export tables the stub is made from, code table first. They are read
// as a LongRead and the stub is written as it is made, so neither file is
// ever resident whole.
struct StubSlots {
  const ExportTableView* code = nullptr;  // null when there is no such table
  const ExportTableView* data = nullptr;
  uint16_t code_section = 0;
  uint16_t data_section = 0;
  const DataRelocations* relocations = nullptr;
  MappedFile* source = nullptr;

  uint64_t Count() const { return (code ? code->count : 0) + uint64_t{data ? data->count : 0}; }

  // Calls visit(symbol, fault) for each entry in order until it returns
  // false; false then, else true.
  template <class Visit>
  bool ForEach(Visit&& visit) const {
    LongRead reading(source);
    auto walk = [&](const ExportTableView& table, uint8_t info, const DataRelocations* rela) {
      for (uint64_t i = 0; i < table.count; ++i) {
        StubSymbol symbol{};
        const SlotFault fault = ReadSlot(table, i, info, rela, &symbol);
        if (!visit(symbol, fault)) return false;
        reading.Step();
      }
      return true;
    };
    const bool done = (!code || walk(*code, kGlobalFunc, nullptr)) && (!data || walk(*data, kGlobalObject, relocations));
    reading.End();
    return done;
  }
};

// What the checking pass keeps of each entry, so that the writing passes
// need not read the relocations again nor look for each name's end: 8 bytes
// an entry, 4 MB for half a million exports.
struct KeptSlot {
  uint32_t name_length;
  uint8_t info;
};

// The checking pass: reads and reports on every entry, keeping what the
// writing passes need of it in `kept` and summing the string table's size in
// `name_bytes`.
Status CheckSlots(const StubSlots& slots, const ImportLibrarySettings& settings, Sink& console,
                  std::vector<KeptSlot>* kept, uint64_t* name_bytes) {
  Status refused = kOk;
  kept->reserve(slots.Count());
  slots.ForEach([&](const StubSymbol& symbol, SlotFault fault) {
    switch (fault) {
      case SlotFault::kNone:
        // A name lies inside an export table, which is shorter than 4 GiB.
        kept->push_back(KeptSlot{static_cast<uint32_t>(symbol.name.size()), symbol.info});
        *name_bytes += symbol.name.size() + 1;
        return true;
      case SlotFault::kInconsistent:
        refused = Inconsistent(settings, console);
        return false;
      case SlotFault::kMismatchedRelocation:
        Print(console, "***Error: mismatched relocations and %s section. Return -1\n", kDataTableSection);
        break;
      case SlotFault::kUnexpectedTls:
        Print(console,
              "***Error: Export symbol \"%.*s\" is unexpectedly a TLS symbol. Clobber and rebuild with current "
              "prepqdm[32|64]. Return -1.\n",
              static_cast<int>(symbol.name.size()), symbol.name.data());
        break;
    }
    refused = -1;
    return false;
  });
  return refused;
}

// The stub's symbol table: the null symbol, then one symbol per entry, made
// from what the checking pass kept alone.
void ProduceStubSymbols(const StubSlots& slots, const std::vector<KeptSlot>& kept, bool swap, ByteSink& out) {
  out.AppendZeros(kSymbolSize);  // the null symbol
  const uint64_t code_count = slots.code ? slots.code->count : 0;
  uint64_t string_position = 1;
  for (uint64_t i = 0; i < kept.size(); ++i) {
    const bool code = i < code_count;
    ElfSymbol symbol{};
    symbol.st_name = static_cast<uint32_t>(string_position);
    symbol.st_value = static_cast<uint32_t>(TableEntryAt(code ? i : i - code_count));
    symbol.st_info = kept[i].info;
    symbol.st_shndx = code ? slots.code_section : slots.data_section;
    uint8_t record[kSymbolSize];
    StoreRecord(record, symbol, swap);
    out.Append(record, kSymbolSize);
    string_position += uint64_t{kept[i].name_length} + 1;
  }
}

// The stub's string table: a NUL, then each entry's name with its NUL, at
// the lengths the checking pass found. The pages read again come from this
// run's own file; should it change in between all the same, a name no longer
// inside its table is written as zeros, so the section keeps its planned size.
void ProduceStubNames(const StubSlots& slots, const std::vector<KeptSlot>& kept, ByteSink& out) {
  out.AppendZeros(1);
  LongRead reading(slots.source);
  uint64_t i = 0;
  auto walk = [&](const ExportTableView& table) {
    for (uint64_t entry = 0; entry < table.count && i < kept.size(); ++entry, ++i) {
      const uint32_t length = kept[i].name_length;
      const std::optional<uint32_t> word = table.NameWord(entry);
      const uint64_t offset = word ? *word & ~kTableTlsBit : table.length;
      if (offset <= table.length && table.length - offset >= length)
        out.Append(table.bytes + offset, length);
      else
        out.AppendZeros(length);
      out.AppendZeros(1);
      reading.Step();
    }
  };
  if (slots.code) walk(*slots.code);
  if (slots.data) walk(*slots.data);
  reading.End();
}

BuiltImportLibrary WriteImportLibrary(const ElfImage& image, const ImportLibrarySettings& settings,
                                      const Mappings& mappings, Sink& console, const std::string& base_name,
                                      uint32_t code_index, uint32_t data_index, uint32_t data_rela_index) {
  BuiltImportLibrary built;
  auto fail = [&](Status status) {
    built.status = status;
    return std::move(built);
  };
  const ElfHeader source = image.Header();
  const bool swap = SwapsWords(image);
  ExportTableView code, data;
  if (code_index && ReadExportTable(image, code_index, &code) != TableRead::kReadable)
    return fail(Inconsistent(settings, console));
  if (data_index && ReadExportTable(image, data_index, &data) != TableRead::kReadable)
    return fail(Inconsistent(settings, console));

  DataRelocations relocations{&image, std::nullopt, kRelaSize};
  if (data_rela_index) {
    relocations.section = image.Section(data_rela_index);
    if (!relocations.section) return fail(Inconsistent(settings, console));
    if (relocations.section->sh_entsize != 0) relocations.entry_size = relocations.section->sh_entsize;
    uint32_t rela_count = relocations.section->sh_size / relocations.entry_size;
    if (data.count != rela_count) {
      Print(console, "***Error: numDataExports (%d) != numRelaDataExports (%d). Return -1\n",
            static_cast<int>(data.count), static_cast<int>(rela_count));
      return fail(-1);
    }
  }

  // Section indices of the stub.
  const uint32_t code_import = code_index ? 1 : 0;
  const uint32_t data_import = data_index ? code_import + 1 : 0;
  const uint32_t symtab_index = (code_index ? 1 : 0) + (data_index ? 1 : 0) + 1;
  const uint32_t strtab_index = symtab_index + 1;
  const uint32_t names_index = symtab_index + 2;

  const StubSlots slots{code_index ? &code : nullptr,
                        data_index ? &data : nullptr,
                        static_cast<uint16_t>(code_import),
                        static_cast<uint16_t>(data_import),
                        &relocations,
                        settings.export_object_file};
  // The checking pass: every entry is read and reported on before the
  // library file is touched, and the string table's size is summed.
  std::vector<KeptSlot> kept;
  uint64_t name_bytes = 0;
  if (Status refused = CheckSlots(slots, settings, console, &kept, &name_bytes); refused != kOk)
    return fail(refused);
  const uint64_t symbol_count = kept.size();

  // Sizes and layout, in 64 bits: a crafted file must not make a stub that
  // 32-bit offsets cannot describe.
  const std::string code_name = kCodeImportPrefix + base_name;
  const std::string data_name = kDataImportPrefix + base_name;
  std::vector<PlannedSection> planned;
  if (code_import) planned.push_back({code_name, ImportSectionSize(code.count, base_name.size())});
  if (data_import) planned.push_back({data_name, ImportSectionSize(data.count, base_name.size())});
  planned.push_back({kSymbolTableSection, uint64_t{kSymbolSize} * (1 + symbol_count)});
  planned.push_back({kStringTableSection, 1 + name_bytes});
  planned.push_back({kSectionNameTableSection, 0});
  const SectionLayout layout = LayOutSections(planned, names_index);
  if (layout.file_length > UINT32_MAX) return fail(Inconsistent(settings, console));

  ObjectAssembly assembly(layout, swap);
  // An import section: the table's count and CRC, then the module's name.
  std::vector<uint8_t> code_section, data_section;
  auto place_import = [&](uint32_t index, const ExportTableView& table, uint32_t flags,
                          std::vector<uint8_t>& contents) {
    contents.assign(layout.size[index], 0);
    StoreWord(contents.data() + kTableCountOffset, table.count, swap);
    StoreWord(contents.data() + kTableCrcOffset, table.crc, swap);
    if (!base_name.empty()) std::memcpy(contents.data() + kImportNameOffset, base_name.data(), base_name.size());
    assembly.Place(index, SectionFields{SHT_QDM_IMPORTS, flags, 0, static_cast<uint32_t>(base_name.size()), 4, 0},
                   contents.data());
  };
  if (code_import) place_import(code_import, code, SHF_ALLOC | SHF_EXECINSTR, code_section);
  if (data_import) place_import(data_import, data, SHF_WRITE | SHF_ALLOC, data_section);

  // The writing passes: the symbols from what the checking pass kept, then
  // the names read again at the lengths it found.
  assembly.Place(symtab_index, SectionFields{SHT_SYMTAB, 0, strtab_index, 1, kSymbolSize, kSymbolSize},
                 [&](ByteSink& out) { ProduceStubSymbols(slots, kept, swap, out); });
  assembly.Place(strtab_index, SectionFields{SHT_STRTAB, 0, 0, 0, 1, 0},
                 [&](ByteSink& out) { ProduceStubNames(slots, kept, out); });
  assembly.PlaceSectionNames(names_index);
  const bool archive = !settings.no_archive_header;
  const ElfFileContents& contents =
      assembly.Contents(source.e_ident[EI_DATA], source.e_machine, 0, archive ? kArchiveHeaderSize : 0);

  StagedFile file;
  if (Status error = OpenGeneratedFile(mappings, console, settings.path,
                                       "***Error: Could not open output file for writing.\n", &file))
    return fail(error);
  if (archive) {
    std::string wrapper = ArchiveHeader(base_name, layout.file_length);
    errno = 0;
    if (fwrite(wrapper.data(), 1, wrapper.size(), file.stream()) != wrapper.size()) {
      int error = FailureErrno();
      Print(console, "***Error: Could not write to output library file.\n");
      PrintNote(console, settings.path, error);
      return fail(error);
    }
  }
  built.status = WriteGeneratedFile(console, file, contents, kStubMessages);
  if (built.status == kOk) built.file = std::move(file);
  return built;
}

}  // namespace

std::string ModuleBaseName(std::string_view module_name) {
  size_t slash = module_name.find_last_of("/\\");
  std::string base(slash == std::string_view::npos ? module_name : module_name.substr(slash + 1));
  for (char& c : base)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return base;
}

BuiltImportLibrary BuildImportLibrary(const ElfImage& image, const ImportLibrarySettings& settings,
                                      const Mappings& mappings, Sink& console) {
  const std::string base_name = ModuleBaseName(settings.module_name);
  BuiltImportLibrary built;
  if (!image.data || image.size < kElfHeaderSize) {
    built.status = Inconsistent(settings, console);
    return built;
  }
  // The last table of each kind is the one taken.
  ExportTableIndices tables = FindExportTables(image);
  const uint32_t code_index = tables.code.empty() ? 0 : tables.code.back();
  const uint32_t data_index = tables.data.empty() ? 0 : tables.data.back();
  const uint32_t data_rela_index = data_index ? FindTableRelocations(image, data_index) : 0;
  return WriteImportLibrary(image, settings, mappings, console, base_name, code_index, data_index, data_rela_index);
}

}  // namespace prepqdm
