// Exports declared inside objects. A section named exactly ".export" holds
// one 32-bit word per export; word j (at offset 4j) is relocated, by the
// first relocation with a non-zero type at that offset in the section's REL
// or RELA table, against the symbol to export. Only the relocations are read,
// never the words. The symbol is then looked up by name, so the definition in
// force for that name is exported, whichever object holds it.
//
// The relocations are matched to words in one pass (a slot per word), so an
// object that declares tens of thousands of exports costs no more than its
// relocation table. Links that lead nowhere in a malformed object (symbol
// table, string table, symbol index, unterminated name) make that export
// "missing": it is refused like a name no object defines. The names read are
// charged to a ReadBudget, as every word may name the same long symbol.
#include "exports/in_code_exports.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "elf/elf_image.h"
#include "elf/object_module.h"
#include "elf/read_budget.h"
#include "exports/export_list.h"

namespace prepqdm {

namespace {

constexpr uint32_t SHT_DYNSYM = 11;
constexpr uint32_t kNoRelocation = 0xFFFFFFFFu;

std::optional<SectionHeader> FindRelocationSection(const ElfImage& image, uint32_t export_index) {
  uint32_t count = image.SectionCount();
  for (uint32_t index = 1; index < count; ++index) {
    if (index == export_index) continue;
    std::optional<SectionHeader> section = image.Section(index);
    if (!section) continue;
    if ((section->sh_type == SHT_RELA || section->sh_type == SHT_REL) && section->sh_info == export_index) {
      return section;
    }
  }
  return std::nullopt;
}

// Number of leading entries of `reloc` whose r_offset and r_info lie inside
// both the section and the image.
uint32_t ReadableRelocationCount(const ElfImage& image, const SectionHeader& reloc, uint32_t entry_size) {
  if (entry_size < kRelSize || reloc.sh_offset > image.size) return 0;
  uint64_t extent = std::min<uint64_t>(reloc.sh_size, image.size - reloc.sh_offset);
  if (extent < kRelSize) return 0;
  return static_cast<uint32_t>((extent - kRelSize) / entry_size + 1);
}

struct ExportName {
  std::string_view text;
  bool readable = false;  // false: the links lead nowhere; text is a best effort
};

// The name of symbol `symbol_index` of the table that `reloc` links to.
ExportName ReadExportName(const ElfImage& image, const SectionHeader& reloc, uint32_t symbol_index) {
  ExportName result;
  std::optional<SectionHeader> symtab = image.Section(reloc.sh_link);
  if (!symtab || (symtab->sh_type != SHT_SYMTAB && symtab->sh_type != SHT_DYNSYM)) return result;
  const uint8_t* entry = image.Entry(*symtab, SymbolEntrySize(*symtab), symbol_index, kSymbolSize);
  if (entry == nullptr) return result;
  uint32_t st_name = LoadAt<ElfSymbol>(entry).st_name;

  std::optional<SectionHeader> strtab = image.Section(symtab->sh_link);
  if (!strtab || strtab->sh_type != SHT_STRTAB) return result;
  if (std::optional<std::string_view> name = image.StringAt(symtab->sh_link, st_name)) {
    result.text = *name;
    result.readable = true;
    return result;
  }
  // No terminating zero inside the table: show what the table holds.
  const uint8_t* begin;
  uint32_t length;
  if (image.SectionContent(*strtab, &begin, &length) && st_name < length) {
    result.text = std::string_view(reinterpret_cast<const char*>(begin) + st_name, length - st_name);
  }
  return result;
}

}  // namespace

std::optional<uint32_t> FindExportSection(const ObjectModule& object) {
  if (object.facts.export_section == kNoExportSection) return std::nullopt;
  if (object.facts.export_section != kExportSectionNotSought) return object.facts.export_section;
  return FindExportSectionIndex(object.Image());
}

Status ReadInCodeExports(const ObjectModule& object, const SectionHeader& export_section, uint32_t export_index,
                         Sink& console, const std::function<Status(const InCodeExport&)>& visit) {
  uint32_t export_count = export_section.sh_size / 4;
  if (export_count == 0) return kOk;
  ElfImage image = object.Image();
  std::optional<SectionHeader> reloc = FindRelocationSection(image, export_index);
  if (!reloc) {
    Print(console, "***Export section did not have relocations, so can't find exports! Return -1.\n");
    return -1;
  }
  uint32_t entry_size = RelocationEntrySize(*reloc);
  uint32_t reloc_count = reloc->sh_size / entry_size;
  if (reloc_count == 0) {
    Print(console, "***Export section has empty reloc section, so can't find exports! Return -1.\n");
    return -1;
  }
  if (reloc_count < export_count) {
    Print(console, "***Export has fewer relocations than exports, so can't find exports! Return -1.\n");
    return -1;
  }

  // With r readable relocations, some word among the first r + 1 has none;
  // slots beyond that are never reached, which also bounds the vector by the
  // object's real size whatever sh_size claims.
  uint32_t readable = ReadableRelocationCount(image, *reloc, entry_size);
  uint32_t slot_count = static_cast<uint32_t>(std::min<uint64_t>(export_count, uint64_t{readable} + 1));
  // Index of the first relocation that counts for each word.
  std::vector<uint32_t> first_relocation(slot_count, kNoRelocation);
  for (uint32_t k = 0; k < readable; ++k) {
    const uint8_t* entry = image.Entry(*reloc, entry_size, k, kRelSize);
    if (entry == nullptr) break;
    ElfRel rel = LoadAt<ElfRel>(entry);
    if (RelocationType(rel.r_info) == 0 || rel.r_offset % 4 != 0) continue;
    uint32_t word = rel.r_offset / 4;
    if (word < slot_count && first_relocation[word] == kNoRelocation) first_relocation[word] = k;
  }

  // Every word may be relocated against the same long-named symbol.
  ReadBudget name_budget(image.size);
  for (uint32_t j = 0; j < slot_count; ++j) {
    if (first_relocation[j] == kNoRelocation) {
      Print(console, "***Error: Could not find a relocation for export %d. Return -1.\n", static_cast<int>(j));
      return -1;
    }
    InCodeExport declared;
    declared.entry = j;
    declared.relocations = *reloc;
    declared.relocation_index = first_relocation[j];
    const uint8_t* entry = image.Entry(*reloc, entry_size, first_relocation[j], kRelSize);
    ExportName name;
    if (entry != nullptr) {
      declared.symbol_index = RelocationSymbol(LoadAt<ElfRel>(entry).r_info);
      name = ReadExportName(image, *reloc, declared.symbol_index);
      if (!name_budget.Charge(uint64_t{name.text.size()} + 1)) {
        Print(console, "***Error: In-code export names in \"%s\" take too long to read. Return -1.\n",
              object.name.c_str());
        return -1;
      }
    }
    declared.name = name.text;
    declared.readable = name.readable;
    Status status = visit(declared);
    if (status != kOk) return status;
  }
  return kOk;
}

Status CollectInCodeExports(Selector& selector, const ObjectModule& object, const SectionHeader& export_section,
                            uint32_t export_index) {
  uint32_t export_count = export_section.sh_size / 4;
  if (export_count == 0) return kOk;
  if (selector.settings.verbose) {
    Print(selector.console, "File \"%s\" has %d in-code exports.\n", object.name.c_str(),
          static_cast<int>(export_count));
  }
  return ReadInCodeExports(object, export_section, export_index, selector.console, [&](const InCodeExport& e) {
    return e.readable ? CheckAndAddExport(selector, e.name) : RefuseMissingExport(selector, e.name);
  });
}

Status CollectAllInCodeExports(Selector& selector, InputRegistry& registry) {
  for (ObjectModule* object = registry.head; object != nullptr; object = object->next) {
    std::optional<uint32_t> index = FindExportSection(*object);
    if (!index) continue;
    std::optional<SectionHeader> section = object->Image().Section(*index);
    if (!section) continue;
    Status status = CollectInCodeExports(selector, *object, *section, *index);
    if (status != kOk) return status;
    ObjectDone(registry, *object);
  }
  ObjectsDone(registry);
  return kOk;
}

}  // namespace prepqdm
