// The export object: an ELF32 relocatable file with one export table per
// non-empty kind (".fexports" for code, ".dexports" for data), each with a
// relocation section, plus ".symtab", ".strtab" and ".secstrtab".
//
// The table's own layout and the section names are in export_table.h, the
// placement of sections in section_layout.h and the assembly of the file in
// object_assembly.h. Table entries and symbols are in name order, while
// ".strtab" keeps the names in export-list order (newest first), so `st_name`
// values are not ascending.
//
// Byte order and machine come from the object defining the first export (or
// big-endian PowerPC without input objects); records are built in host order
// and stored in that order.
#include "output/export_object_writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "elf/elf_format.h"
#include "elf/object_module.h"
#include "exports/export_list.h"
#include "exports/table_names.h"
#include "output/crc32.h"
#include "output/export_table.h"
#include "output/object_assembly.h"
#include "output/output_file.h"
#include "symbols/symbol_table.h"

namespace prepqdm {

namespace {

constexpr uint32_t EF_PPC_EMB = 0x80000000u;  // embedded PowerPC ABI
constexpr uint8_t kBigEndianData = 2;         // ELFDATA2MSB, PowerPC's usual order

constexpr uint32_t kTableSymbolBytes = sizeof kCodeTableSymbol;  // 12 characters and the NUL
static_assert(sizeof kDataTableSymbol == kTableSymbolBytes);

constexpr WriteMessages kExportObjectMessages = {
    "*** error writing zeros to output file.\n",
    "*** error seeking in output file.\n",
    "*** error writing to output file.\n",
    "*** error seeking in output file to write section data.\n",
    "*** error writing to output file.\n",
    "***Error: Could not seek in output file.\n",
    "***Error: Could not write to output file.\n",
};

// One export as its table needs it, so that only the name has to be fetched
// from the symbol record again.
struct TableItem {
  uint32_t record;
  uint32_t name_offset;  // in its area of ".strtab"
  uint32_t name_length;
  bool tls;
};

// The exports of one kind. A big list is written from records scattered over
// memory, so every pass over it costs a trip to memory per export; the writer
// keeps to three: this split, the table's names and the string table's.
struct TableBuild {
  std::vector<TableItem> list_order;  // newest first
  std::vector<TableItem> sorted;      // empty when list order is descending
  bool reversed = false;              // table order is list order reversed
  uint64_t name_bytes = 0;            // S
  uint32_t crc = 0;                   // filled while the table is written
  uint32_t first_symbol = 0;
  bool data = false;

  size_t Count() const { return list_order.size(); }
  const TableItem& InTableOrder(size_t i) const {
    return reversed ? list_order[list_order.size() - 1 - i] : sorted[i];
  }
};

struct TableKind {
  const char* table_symbol;
  const char* heading;
};

// Puts the exports in table (name) order and logs them in it.
Status PrepareTable(const SymbolTable& symbols, Sink& console, Sink& log, TableBuild& table, const TableKind& kind,
                    bool list_descending) {
  table.reversed = list_descending;
  if (!table.reversed) {
    try {
      table.sorted = table.list_order;
    } catch (const std::bad_alloc&) {
      Print(console, "***Error: Out of memory. Return -1\n");
      return -1;
    }
    std::stable_sort(table.sorted.begin(), table.sorted.end(), [&](const TableItem& a, const TableItem& b) {
      return CompareExportNames(symbols, ExportEntry{a.record}, ExportEntry{b.record}) < 0;
    });
  }
  if (log.IsOpen()) {
    Print(log, "%s", kind.heading);
    for (size_t i = 0; i < table.Count(); ++i) {
      const TableItem& item = table.InTableOrder(i);
      const std::string_view name = symbols.At(item.record).name();
      Print(log, "%.*s\n", PrintedLength(name), name.data());
    }
    Print(log, "%s\n", kind.table_symbol);
  }
  return kOk;
}

// The table: count and CRC, one entry per export and an empty one, the names
// and the trailer. The CRC of the name area is known only once the names are
// out, so its word is written afterwards (see the patch in WriteExportObject).
void ProduceTable(const SymbolTable& symbols, TableBuild& table, bool swap, ByteSink& out) {
  const uint64_t count = table.Count();
  uint8_t word[8];
  StoreWord(word, static_cast<uint32_t>(count), swap);
  StoreWord(word + 4, 0, swap);
  out.Append(word, 8);
  uint64_t position = TableNameArea(count);
  for (size_t i = 0; i < count; ++i) {
    const TableItem& item = table.InTableOrder(i);
    const bool tls = table.data && item.tls;
    StoreWord(word, 0, swap);
    StoreWord(word + 4, static_cast<uint32_t>(position) | (tls ? kTableTlsBit : 0), swap);
    out.Append(word, kTableEntrySize);
    position += uint64_t{item.name_length} + 1;
  }
  out.AppendZeros(kTableEntrySize);
  // The name area is checksummed in blocks, not name by name.
  uint8_t block[16 * 1024];
  size_t used = 0;
  uint32_t crc = 0;
  auto add = [&](const uint8_t* bytes, uint64_t length) {
    out.Append(bytes, length);
    while (length != 0) {
      if (used == sizeof block) {
        crc = Crc32(crc, block, used);
        used = 0;
      }
      size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, sizeof block - used));
      std::memcpy(block + used, bytes, chunk);
      used += chunk;
      bytes += chunk;
      length -= chunk;
    }
  };
  static constexpr uint8_t kZeros[kTableTrailer] = {};
  for (size_t i = 0; i < count; ++i) {
    const TableItem& item = table.InTableOrder(i);
    add(symbols.At(item.record).name_bytes(), item.name_length);
    add(kZeros, 1);
  }
  add(kZeros, kTableTrailer);
  table.crc = Crc32(crc, block, used);
}

// Relocation i fills word 0 of entry i with the address of its symbol.
void ProduceRelocations(const TableBuild& table, bool swap, ByteSink& out) {
  uint8_t bytes[kRelaSize];
  for (size_t i = 0; i < table.Count(); ++i) {
    const bool tls = table.data && table.InTableOrder(i).tls;
    ElfRela rela{};
    rela.r_offset = static_cast<uint32_t>(TableEntryAt(i));
    rela.r_info = ((table.first_symbol + static_cast<uint32_t>(i)) << 8) | (tls ? R_PPC_DTPREL32 : R_PPC_ADDR32);
    StoreRecord(bytes, rela, swap);
    out.Append(bytes, kRelaSize);
  }
}

// A table's symbols in table order, then the table symbol.
void ProduceSymbols(const TableBuild& table, uint64_t strtab_bias, uint64_t table_symbol_name, uint64_t table_size,
                    uint32_t section_index, bool swap, ByteSink& out) {
  uint8_t bytes[kSymbolSize];
  for (size_t i = 0; i < table.Count(); ++i) {
    ElfSymbol sym{};
    sym.st_name = static_cast<uint32_t>(table.InTableOrder(i).name_offset + strtab_bias);
    sym.st_info = kGlobalNoType;
    StoreRecord(bytes, sym, swap);
    out.Append(bytes, kSymbolSize);
  }
  ElfSymbol table_symbol{};
  table_symbol.st_name = static_cast<uint32_t>(table_symbol_name);
  table_symbol.st_size = static_cast<uint32_t>(table_size);
  table_symbol.st_info = kGlobalObject;
  table_symbol.st_shndx = static_cast<uint16_t>(section_index);
  StoreRecord(bytes, table_symbol, swap);
  out.Append(bytes, kSymbolSize);
}

// One area of ".strtab": a zero byte, then the names of one kind in list
// order (newest first), then the table symbol's name.
void ProduceStringArea(const SymbolTable& symbols, const TableBuild& table, const char* table_symbol, ByteSink& out) {
  out.AppendZeros(1);
  for (const TableItem& item : table.list_order) {
    out.Append(symbols.At(item.record).name_bytes(), item.name_length);
    out.AppendZeros(1);
  }
  if (table.Count() > 0) out.Append(table_symbol, kTableSymbolBytes);
}

// The target's byte order and machine are those of `object`, the one that
// defines the first export, when it is there to read.
void TakeByteOrderAndMachine(const ObjectModule* object, uint8_t* ei_data, uint16_t* machine) {
  if (object && object->image && object->size >= kElfHeaderSize) {
    const ElfHeader header = object->Image().Header();
    *ei_data = header.e_ident[EI_DATA];
    *machine = header.e_machine;
  }
}

// Splits the exports by kind, newest first (list order), with their name
// offsets in ".strtab", each kind's area counting from 1; `name_offsets`
// gets them too, by position in ExportList::entries.
Status SplitByKind(const ExportList& exports, const SymbolTable& symbols, Sink& console, TableBuild& code,
                   TableBuild& data, std::vector<uint32_t>& name_offsets) {
  uint64_t code_counter = 1, data_counter = 1;
  try {
    // Room for all in both; what is never used is never touched.
    code.list_order.reserve(exports.entries.size());
    data.list_order.reserve(exports.entries.size());
    name_offsets.resize(exports.entries.size());
  } catch (const std::bad_alloc&) {
    Print(console, "***Error: Out of memory. Return -1\n");
    return -1;
  }
  for (size_t i = exports.entries.size(); i-- > 0;) {
    const ExportEntry& entry = exports.entries[i];
    const TrackedSymbol& symbol = symbols.At(entry.record);
    uint64_t& counter = symbol.is_code ? code_counter : data_counter;
    TableBuild& table = symbol.is_code ? code : data;
    const uint32_t name_offset = static_cast<uint32_t>(counter);
    name_offsets[i] = name_offset;
    counter += uint64_t{symbol.name_length} + 1;
    table.name_bytes += uint64_t{symbol.name_length} + 1;
    table.list_order.push_back(TableItem{entry.record, name_offset, symbol.name_length, symbol.is_tls != 0});
  }
  return kOk;
}

Status ReportTooLarge(Sink& console, const ExportObjectLayout& layout, uint32_t index) {
  const char* name = layout.names.c_str() + layout.name[index];
  uint64_t size = layout.size[index];
  Print(console, "***Error: \"%s\" sec %d, is too large to load.  Section size is 0x%08X. Return -1.\n", name,
        static_cast<int>(index), static_cast<uint32_t>(size));
  return -1;
}

}  // namespace

ExportObjectLayout LayOutExportObject(uint32_t code_count, uint64_t code_name_bytes, uint32_t data_count,
                                      uint64_t data_name_bytes) {
  std::vector<PlannedSection> sections;
  uint32_t code_index = 0, data_index = 0;
  if (code_count > 0) {
    code_index = static_cast<uint32_t>(sections.size()) + 1;
    sections.push_back({kCodeTableSection, TableSize(code_count, code_name_bytes)});
    sections.push_back({kCodeRelocationSection, uint64_t{kRelaSize} * code_count});
  }
  if (data_count > 0) {
    data_index = static_cast<uint32_t>(sections.size()) + 1;
    sections.push_back({kDataTableSection, TableSize(data_count, data_name_bytes)});
    sections.push_back({kDataRelocationSection, uint64_t{kRelaSize} * data_count});
  }
  const uint32_t symtab_index = static_cast<uint32_t>(sections.size()) + 1;
  const uint64_t symbol_count =
      (code_count > 0 ? uint64_t{code_count} + 1 : 0) + (data_count > 0 ? uint64_t{data_count} + 1 : 0) + 1;
  const uint64_t code_area = code_count > 0 ? code_name_bytes + kTableSymbolBytes + 1 : 1;
  const uint64_t data_area = data_count > 0 ? data_name_bytes + kTableSymbolBytes + 1 : 1;
  sections.push_back({kSymbolTableSection, kSymbolSize * symbol_count});
  sections.push_back({kStringTableSection, code_area + data_area});
  sections.push_back({kSectionNameTableSection, 0});

  ExportObjectLayout layout;
  static_cast<SectionLayout&>(layout) = LayOutSections(sections, symtab_index + 2);
  layout.code_index = code_index;
  layout.data_index = data_index;
  layout.symtab_index = symtab_index;
  layout.symbol_count = symbol_count;
  layout.code_area = code_area;
  layout.data_area = data_area;
  return layout;
}

bool IsTooLarge(const ExportObjectLayout& layout, uint32_t index) { return layout.size[index] >= (uint64_t{1} << 31); }

uint32_t FirstSectionBeyondFileLimit(const ExportObjectLayout& layout) {
  constexpr uint64_t kLimit = uint64_t{1} << 32;
  for (uint32_t i = 1; i < layout.section_count; ++i)
    if (layout.offset[i] + layout.size[i] > kLimit) return i;
  return layout.file_length > kLimit ? layout.section_count - 1 : 0;
}

WrittenExportObject WriteExportObject(const ExportList& exports, const SymbolTable& symbols,
                                      const ExportObjectTarget& target, const Mappings& mappings, Sink& console,
                                      Sink& log) {
  WrittenExportObject written;
  if (exports.empty()) {  // no table to write
    Print(log, "\nEmpty Export Object.\n");
    return WriteEmptyExportObject(target.path, mappings, console);
  }
  auto fail = [&](Status status) {
    written.status = status;
    return std::move(written);
  };
  uint8_t ei_data = kBigEndianData;
  uint16_t machine = EM_PPC;
  if (!target.def_only) TakeByteOrderAndMachine(symbols.At(exports.entries.back().record).object, &ei_data, &machine);
  const bool swap = (ei_data != ELFDATA2LSB) != kHostBigEndian;

  TableBuild code, data;
  data.data = true;
  if (SplitByKind(exports, symbols, console, code, data, written.name_offsets) != kOk) return fail(-1);
  const uint32_t code_count = static_cast<uint32_t>(code.Count());
  const uint32_t data_count = static_cast<uint32_t>(data.Count());
  const ExportObjectLayout layout = LayOutExportObject(code_count, code.name_bytes, data_count, data.name_bytes);
  if (code_count > 0) Print(log, "%d CODE EXPORTS\n", static_cast<int>(code_count + 1));
  if (data_count > 0) Print(log, "%d DATA EXPORTS\n", static_cast<int>(data_count + 1));

  const uint32_t symtab_index = layout.symtab_index;
  const uint32_t strtab_index = symtab_index + 1;
  const uint32_t names_index = symtab_index + 2;
  code.first_symbol = 1;
  data.first_symbol = code_count > 0 ? code_count + 2 : 1;
  if (code_count > 0) {
    if (IsTooLarge(layout, layout.code_index)) return fail(ReportTooLarge(console, layout, layout.code_index));
    if (PrepareTable(symbols, console, log, code, TableKind{kCodeTableSymbol, "\nCODE:\n"}, exports.ascending) != kOk)
      return fail(-1);
  }
  if (data_count > 0) {
    if (IsTooLarge(layout, layout.data_index)) return fail(ReportTooLarge(console, layout, layout.data_index));
    if (PrepareTable(symbols, console, log, data, TableKind{kDataTableSymbol, "\nDATA:\n"}, exports.ascending) != kOk)
      return fail(-1);
  }
  // The tables fit, yet the file as a whole must stay within 32-bit offsets.
  if (uint32_t beyond = FirstSectionBeyondFileLimit(layout)) return fail(ReportTooLarge(console, layout, beyond));

  ObjectAssembly assembly(layout, swap);
  // A table and its relocations. Word 1 of the table's header, its CRC, is
  // known once the table is out, and written over it then.
  uint8_t code_crc[4], data_crc[4];
  auto place_table = [&](TableBuild& table, uint32_t index, uint32_t flags, uint8_t* crc) {
    assembly.Place(index, SectionFields{SHT_QDM_EXPORTS, flags, 0, 0, 8, 0},
                   [&table, crc, &symbols, swap](ByteSink& out) {
                     ProduceTable(symbols, table, swap, out);
                     StoreWord(crc, table.crc, swap);
                   });
    // The relocation sections are aligned to their entry size, 12.
    assembly.Place(index + 1, SectionFields{SHT_RELA, 0, symtab_index, index, kRelaSize, kRelaSize},
                   [&table, swap](ByteSink& out) { ProduceRelocations(table, swap, out); });
    assembly.Patch(index, kTableCrcOffset, crc, 4);
  };
  if (code_count > 0) place_table(code, layout.code_index, SHF_ALLOC | SHF_EXECINSTR, code_crc);
  if (data_count > 0) place_table(data, layout.data_index, SHF_ALLOC, data_crc);
  // sh_info of ".symtab" stays 0 although every symbol after the null one is
  // global; the platform's linker expects it so.
  assembly.Place(symtab_index, SectionFields{SHT_SYMTAB, 0, strtab_index, 0, kSymbolSize, kSymbolSize},
                 [&](ByteSink& out) {
                   out.AppendZeros(kSymbolSize);
                   if (code_count > 0)
                     ProduceSymbols(code, 0, layout.code_area - kTableSymbolBytes, layout.size[layout.code_index],
                                    layout.code_index, swap, out);
                   if (data_count > 0)
                     ProduceSymbols(data, layout.code_area, layout.code_area + layout.data_area - kTableSymbolBytes,
                                    layout.size[layout.data_index], layout.data_index, swap, out);
                 });
  assembly.Place(strtab_index, SectionFields{SHT_STRTAB, 0, 0, 0, 1, 0}, [&](ByteSink& out) {
    ProduceStringArea(symbols, code, kCodeTableSymbol, out);
    ProduceStringArea(symbols, data, kDataTableSymbol, out);
  });
  assembly.PlaceSectionNames(names_index);
  const ElfFileContents& contents = assembly.Contents(ei_data, machine, EF_PPC_EMB);

  StagedFile file;
  if (Status error = OpenGeneratedFile(mappings, console, target.path,
                                       "*** error could not open output file for writing.\n", &file))
    return fail(error);
  written.status = WriteGeneratedFile(console, file, contents, kExportObjectMessages);
  if (written.status == kOk) written.file = std::move(file);
  return written;
}

namespace {

// Always big-endian PowerPC, 320 bytes: the section-name table first (at 64),
// then the symbol table holding the null symbol (at 128), and the section
// headers at 192.
SectionLayout EmptyExportObjectLayout() {
  return LayOutSections({{kSectionNameTableSection, 0}, {kSymbolTableSection, kSymbolSize}}, 1);
}

}  // namespace

bool IsEmptyExportObject(const ElfImage& image) {
  const SectionLayout layout = EmptyExportObjectLayout();
  if (image.SectionCount() != layout.section_count) return false;
  for (uint32_t i = 1; i < layout.section_count; ++i)
    if (image.SectionName(i) != std::string_view(layout.names.c_str() + layout.name[i])) return false;
  return true;
}

WrittenExportObject WriteEmptyExportObject(const std::string& path, const Mappings& mappings, Sink& console) {
  const SectionLayout layout = EmptyExportObjectLayout();
  ObjectAssembly assembly(layout, !kHostBigEndian);
  assembly.PlaceSectionNames(1);
  assembly.PlaceZeros(2, SectionFields{SHT_SYMTAB, 0, 1, 0, 0, kSymbolSize});  // the null symbol alone
  const ElfFileContents& contents = assembly.Contents(kBigEndianData, EM_PPC, EF_PPC_EMB);

  WrittenExportObject written;
  written.status =
      OpenGeneratedFile(mappings, console, path, "***Error: Could not open output file for writing.\n", &written.file);
  if (written.status != kOk) return written;
  WriteMessages messages = kExportObjectMessages;
  messages.headers_write = "*** error writing to output file.\n";
  written.status = WriteGeneratedFile(console, written.file, contents, messages);
  if (written.status != kOk) written.file.Discard();
  return written;
}

}  // namespace prepqdm
