// The import library is made from the export object on disk, read back after
// it was written. The stub object has one import section per export table
// (".fimport_" or ".dimport_" and the module's base name) holding the table's
// entry count and CRC, then the module name; each exported name becomes a
// global symbol defined at its slot (8 + 8i) in that section, a function for
// code, an object or TLS object for data. Byte order, machine and the 64-byte
// layout are those of the export object. In archive mode the stub is the only
// member of an `ar` archive, which the toolchain archiver then indexes.
//
// The export object could have been replaced between writing and reading, so
// nothing in it is trusted: every table word, name and relocation is read
// through a checked range, and anything out of range stops the build before
// the library file is touched.
#include "output/import_library.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "driver/run_state.h"
#include "elf/elf_image.h"
#include "output/archive_indexing.h"
#include "output/output_file.h"

namespace prepqdm {

namespace {

constexpr uint32_t kTlsBit = 0x80000000u;
constexpr uint8_t kGlobalFunc = 0x12;
constexpr uint8_t kGlobalObject = 0x11;
constexpr uint8_t kGlobalTls = 0x16;
constexpr uint64_t kArchiveHeaderSize = 68;  // signature and member header

constexpr WriteMessages kStubMessages = {
    "*** error writing zeros to output file.\n",
    "*** error seeking in output file.\n",
    "*** error writing to output file.\n",
    "*** error seeking in output file to write section data.\n",
    "*** error writing to output file.\n",
    "*** error seeking in output file to write section headers.\n",
    "*** error writing section headers.\n",
};

Status Inconsistent(RunState& run) {
  Print(run.console, "***Error: Inconsistent export object \"%s\". Return -1.\n", run.options.output_path.c_str());
  return -1;
}

// One export table of the export object, checked against the image.
struct ExportTable {
  uint32_t index = 0;
  SectionHeader section{};
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
  uint32_t count = 0;
  uint32_t crc_word = 0;  // kept in target order: it is copied unchanged
};

bool ReadTable(const ElfImage& image, uint32_t index, bool swap, ExportTable* table) {
  std::optional<SectionHeader> section = image.Section(index);
  if (!section || !image.SectionContent(*section, &table->bytes, &table->length) || table->length < 8) return false;
  table->index = index;
  table->section = *section;
  table->count = LoadWord(table->bytes, swap);
  table->crc_word = LoadAt<uint32_t>(table->bytes + 4);
  return true;
}

// Word 1 of entry i of the table.
std::optional<uint32_t> EntryWord(const ExportTable& table, uint64_t i, bool swap) {
  uint64_t at = 12 + 8 * i;
  if (at > table.length || table.length - at < 4) return std::nullopt;
  return LoadWord(table.bytes + at, swap);
}

// The NUL-terminated name at `offset` inside the table.
std::optional<std::string_view> NameAt(const ExportTable& table, uint32_t offset) {
  if (offset >= table.length) return std::nullopt;
  const void* end = std::memchr(table.bytes + offset, 0, table.length - offset);
  if (!end) return std::nullopt;
  const char* start = reinterpret_cast<const char*>(table.bytes + offset);
  return std::string_view(start, static_cast<size_t>(static_cast<const char*>(end) - start));
}

struct StubSymbol {
  std::string_view name;
  uint32_t value;
  uint8_t info;
  uint16_t section;
};

// The `ar_date` field: SOURCE_DATE_EPOCH when it holds a decimal number that
// fits the field (reproducible builds), else the current time.
unsigned long long ArchiveDate() {
  if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
    size_t length = strlen(epoch);
    if (length > 0 && length <= 12 && strspn(epoch, "0123456789") == length) return strtoull(epoch, nullptr, 10);
  }
  return static_cast<unsigned long long>(time(nullptr));
}

std::string ArchiveHeader(const std::string& base_name, uint64_t member_size) {
  auto field = [](std::string value, size_t width) {
    value.resize(width, ' ');
    return value;
  };
  std::string header = "!<arch>\n";
  header += field(base_name.substr(0, 13) + ".o/", 16);
  header += field(std::to_string(ArchiveDate()), 12);
  header += field("0", 6);
  header += field("0", 6);
  header += field("100666", 8);
  header += field(std::to_string(member_size), 10);
  header += "`\n";
  return header;
}

Status WriteImportLibrary(RunState& run, const ElfImage& image, const std::string& base_name, uint32_t code_index,
                          uint32_t data_index, uint32_t data_rela_index) {
  const ElfHeader source = image.Header();
  const bool swap = (source.e_ident[EI_DATA] != ELFDATA2LSB) != kHostBigEndian;
  ExportTable code, data;
  if (code_index && !ReadTable(image, code_index, swap, &code)) return Inconsistent(run);
  if (data_index && !ReadTable(image, data_index, swap, &data)) return Inconsistent(run);

  std::optional<SectionHeader> rela;
  uint32_t rela_entry_size = kRelaSize;
  if (data_rela_index) {
    rela = image.Section(data_rela_index);
    if (!rela) return Inconsistent(run);
    if (rela->sh_entsize != 0) rela_entry_size = rela->sh_entsize;
    uint32_t rela_count = rela->sh_size / rela_entry_size;
    if (data.count != rela_count) {
      Print(run.console, "***Error: numDataExports (%d) != numRelaDataExports (%d). Return -1\n",
            static_cast<int>(data.count), static_cast<int>(rela_count));
      return -1;
    }
  }

  // Section indices of the stub.
  const uint32_t code_import = code_index ? 1 : 0;
  const uint32_t data_import = data_index ? code_import + 1 : 0;
  const uint32_t symtab_index = (code_index ? 1 : 0) + (data_index ? 1 : 0) + 1;
  const uint32_t strtab_index = symtab_index + 1;
  const uint32_t names_index = symtab_index + 2;
  const uint32_t section_count = symtab_index + 3;

  std::vector<StubSymbol> symbols;
  uint64_t name_bytes = 0;
  if (code_index) {
    for (uint64_t i = 0; i < code.count; ++i) {
      std::optional<uint32_t> word = EntryWord(code, i, swap);
      std::optional<std::string_view> name = word ? NameAt(code, *word & ~kTlsBit) : std::nullopt;
      if (!name) return Inconsistent(run);
      symbols.push_back(StubSymbol{*name, static_cast<uint32_t>(8 + 8 * i), kGlobalFunc,
                                   static_cast<uint16_t>(code_import)});
      name_bytes += name->size() + 1;
    }
  }
  if (data_index) {
    for (uint64_t i = 0; i < data.count; ++i) {
      std::optional<uint32_t> word = EntryWord(data, i, swap);
      std::optional<std::string_view> name = word ? NameAt(data, *word & ~kTlsBit) : std::nullopt;
      if (!name) return Inconsistent(run);
      uint8_t info = kGlobalObject;
      if (rela) {
        const uint8_t* entry = image.Entry(*rela, rela_entry_size, static_cast<uint32_t>(i), kRelaSize);
        if (!entry) return Inconsistent(run);
        ElfRela r = LoadAt<ElfRela>(entry);  // host order after parsing
        if (static_cast<uint32_t>(r.r_offset - data.section.sh_addr) != 8 + 8 * i) {
          Print(run.console, "***Error: mismatched relocations and .dexports section. Return -1\n");
          return -1;
        }
        if (RelocationType(r.r_info) == R_PPC_DTPREL32) {
          if (!(*word & kTlsBit)) {
            Print(run.console,
                  "***Error: Export symbol \"%.*s\" is unexpectedly a TLS symbol. Clobber and rebuild with current "
                  "prepqdm[32|64]. Return -1.\n",
                  static_cast<int>(name->size()), name->data());
            return -1;
          }
          info = kGlobalTls;
        }
      }
      symbols.push_back(StubSymbol{*name, static_cast<uint32_t>(8 + 8 * i), info, static_cast<uint16_t>(data_import)});
      name_bytes += name->size() + 1;
    }
  }

  // Sizes and layout, in 64 bits: a crafted file must not make a stub that
  // 32-bit offsets cannot describe.
  const uint64_t L = base_name.size();
  auto import_size = [&](uint64_t count) { return std::max<uint64_t>(8 + 8 * count, L + 9); };
  std::vector<SectionHeader> headers(section_count);
  std::vector<uint64_t> sizes(section_count, 0), offsets(section_count, 0);
  if (code_import) sizes[code_import] = import_size(code.count);
  if (data_import) sizes[data_import] = import_size(data.count);
  sizes[symtab_index] = uint64_t{kSymbolSize} * (1 + symbols.size());
  sizes[strtab_index] = 1 + name_bytes;
  const uint64_t symtab_name = 1 + (L + 10) * (symtab_index - 1);
  sizes[names_index] = symtab_name + 27;
  uint64_t offset = 64;
  for (uint32_t i = 1; i < section_count; ++i) {
    offsets[i] = offset;
    offset = AlignTo64(offset + sizes[i]);
  }
  const uint64_t header_table_offset = offset;
  const uint64_t stub_length = AlignTo64(offset + uint64_t{kSectionHeaderSize} * section_count);
  if (stub_length > UINT32_MAX) return Inconsistent(run);

  // Section names: ".fimport_" / ".dimport_" and the base name, then the rest.
  std::string names(1, '\0');
  std::vector<uint8_t> code_table, data_table;
  auto make_import = [&](uint32_t index, char kind, const ExportTable& table, uint32_t flags,
                         std::vector<uint8_t>& contents) {
    uint32_t name = static_cast<uint32_t>(names.size());
    names += std::string(".?import_") + base_name;
    names[name + 1] = kind;
    names += '\0';
    headers[index] = MakeSectionHeader(name, SHT_QDM_IMPORTS, flags, offsets[index], sizes[index], 0,
                                       static_cast<uint32_t>(L), 4, 0);
    contents.assign(sizes[index], 0);
    StoreWord(contents.data(), table.count, swap);
    StoreAt(contents.data() + 4, table.crc_word);
    if (L != 0) std::memcpy(contents.data() + 8, base_name.data(), L);
  };
  if (code_import) make_import(code_import, 'f', code, SHF_ALLOC | SHF_EXECINSTR, code_table);
  if (data_import) make_import(data_import, 'd', data, SHF_WRITE | SHF_ALLOC, data_table);
  names.append(".symtab\0.strtab\0.secstrtab\0", 27);
  headers[symtab_index] = MakeSectionHeader(static_cast<uint32_t>(symtab_name), SHT_SYMTAB, 0, offsets[symtab_index],
                                            sizes[symtab_index], strtab_index, 1, kSymbolSize, kSymbolSize);
  headers[strtab_index] = MakeSectionHeader(static_cast<uint32_t>(symtab_name + 8), SHT_STRTAB, 0,
                                            offsets[strtab_index], sizes[strtab_index], 0, 0, 1, 0);
  headers[names_index] = MakeSectionHeader(static_cast<uint32_t>(symtab_name + 16), SHT_STRTAB, 0,
                                           offsets[names_index], sizes[names_index], 0, 0, 1, 0);

  std::vector<uint8_t> symtab(sizes[symtab_index], 0), strtab(sizes[strtab_index], 0);
  uint64_t string_position = 1;
  for (size_t i = 0; i < symbols.size(); ++i) {
    const StubSymbol& s = symbols[i];
    ElfSymbol sym{};
    sym.st_name = static_cast<uint32_t>(string_position);
    sym.st_value = s.value;
    sym.st_info = s.info;
    sym.st_shndx = s.section;
    StoreRecord(symtab.data() + kSymbolSize * (i + 1), sym, swap);
    if (!s.name.empty()) std::memcpy(strtab.data() + string_position, s.name.data(), s.name.size());
    string_position += s.name.size() + 1;
  }

  uint8_t header_bytes[kElfHeaderSize];
  StoreRecord(header_bytes,
              MakeElfHeader(source.e_ident[EI_DATA], source.e_machine, static_cast<uint16_t>(section_count),
                            static_cast<uint32_t>(header_table_offset), 0),
              swap);
  std::vector<uint8_t> header_table(uint64_t{kSectionHeaderSize} * section_count);
  for (uint32_t i = 0; i < section_count; ++i)
    StoreRecord(header_table.data() + kSectionHeaderSize * i, headers[i], swap);

  const bool archive = !run.options.no_archive_header;
  ElfFileContents contents;
  contents.base = archive ? kArchiveHeaderSize : 0;
  contents.length = stub_length;
  contents.header = FilePiece{0, header_bytes, kElfHeaderSize};
  if (code_import) contents.sections.push_back(FilePiece{offsets[code_import], code_table.data(), code_table.size()});
  if (data_import) contents.sections.push_back(FilePiece{offsets[data_import], data_table.data(), data_table.size()});
  contents.sections.push_back(FilePiece{offsets[symtab_index], symtab.data(), symtab.size()});
  contents.sections.push_back(FilePiece{offsets[strtab_index], strtab.data(), strtab.size()});
  contents.sections.push_back(
      FilePiece{offsets[names_index], reinterpret_cast<const uint8_t*>(names.data()), names.size()});
  contents.section_headers = FilePiece{header_table_offset, header_table.data(), header_table.size()};

  const std::string& path = *run.options.import_library_path;
  FILE* file = OpenOutputFile(run, path);
  if (!file) {
    int error = FailureErrno();
    Print(run.console, "***Error: Could not open output file for writing.\n");
    return error;
  }
  Status status = 0;
  if (archive) {
    std::string wrapper = ArchiveHeader(base_name, stub_length);
    errno = 0;
    if (fwrite(wrapper.data(), 1, wrapper.size(), file) != wrapper.size()) {
      status = FailureErrno();
      Print(run.console, "***Error: Could not write to output library file.\n");
    }
  }
  if (status == 0) status = WriteElfContents(run, file, contents, kStubMessages);
  fclose(file);
  if (archive) IndexImportLibrary(run);
  return status;
}

}  // namespace

std::string ModuleBaseName(std::string_view module_name) {
  size_t slash = module_name.find_last_of("/\\");
  std::string base(slash == std::string_view::npos ? module_name : module_name.substr(slash + 1));
  for (char& c : base)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return base;
}

Status BuildImportLibrary(RunState& run) {
  if (!run.options.import_library_path) return 0;
  const std::string base_name = ModuleBaseName(run.options.module_name ? *run.options.module_name : std::string());
  const ElfImage image{run.export_object, run.export_object_size};
  if (!image.data || image.size < kElfHeaderSize) return Inconsistent(run);

  // Tables by type: the executable one is the code table.
  uint32_t code_index = 0, data_index = 0, data_rela_index = 0;
  const uint32_t count = image.SectionCount();
  for (uint32_t i = 1; i < count; ++i) {
    std::optional<SectionHeader> s = image.Section(i);
    if (!s) return Inconsistent(run);
    if (s->sh_type == SHT_QDM_EXPORTS) (s->sh_flags & SHF_EXECINSTR ? code_index : data_index) = i;
  }
  if (data_index) {
    for (uint32_t i = 1; i < count; ++i) {
      std::optional<SectionHeader> s = image.Section(i);
      if (s && s->sh_type == SHT_RELA && s->sh_info == data_index) data_rela_index = i;
    }
  }
  if (!code_index && !data_index) return 0;  // the empty export object
  return WriteImportLibrary(run, image, base_name, code_index, data_index, data_rela_index);
}

}  // namespace prepqdm
