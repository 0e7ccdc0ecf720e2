// Global symbol resolution. Every defined global or weak entry of a symbol
// table is entered into the SymbolTable under its name (the table keeps a copy).
// When a name is met again, Wins decides which definition stays in force: a
// non-weak one over a weak one, otherwise the one the tracking pass meets
// first (it visits the newest input first). Two non-weak
// definitions are "the same" when their size, info byte and bytes agree, a
// NOBITS definition matching one whose bytes are all zero; definitions at
// special section indices agree when the indices do. Every definition adds
// its class flags to the record, and -v reports each override. What only the
// definition in force decides (its visibility, its section's COMDAT group)
// is set with it.
//
// Nothing here trusts the image: names come through StringAt (terminating
// zero inside the table), entries through Entry, and a compared byte range
// that leaves its section or the image counts as a different definition.
// Symbols may share name bytes, so what a table makes us read is charged to
// a ReadBudget.
#include "symbols/resolution.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "elf/elf_format.h"
#include "elf/elf_image.h"
#include "elf/object_module.h"
#include "elf/read_budget.h"
#include "symbols/symbol_table.h"

namespace prepqdm {
namespace {

constexpr std::string_view kLinkoncePrefix = ".gnu.linkonce";  // 13 characters
constexpr std::string_view kStaticInitPrefix = "__sti__";      // 7 characters

SymbolKind KindFromFlags(uint32_t flags) {
  if (flags & SHF_TLS_PLATFORM) return kKindTls;
  if (flags & SHF_EXECINSTR) return kKindCode;
  return kKindData;
}

SymbolKind KindOf(const ElfImage& image, uint32_t section_count, uint32_t shndx) {
  if (shndx == ReservedSectionIndex(SHN_TLS_COMMON)) return kKindTls;
  if (shndx >= section_count) return kKindData;
  std::optional<SectionHeader> section = image.Section(shndx);
  return section ? KindFromFlags(section->sh_flags) : kKindData;
}

// The `st_size` bytes of a definition inside its (non-NOBITS) section, or
// false when that range does not lie wholly inside both section and image.
bool DefinitionBytes(const ElfImage& image, const SectionHeader& section, const ElfSymbol& symbol,
                     const uint8_t** bytes) {
  if (symbol.st_value < section.sh_addr) return false;
  uint64_t relative = static_cast<uint64_t>(symbol.st_value) - section.sh_addr;
  if (relative > section.sh_size || symbol.st_size > section.sh_size - relative) return false;
  uint64_t offset = static_cast<uint64_t>(section.sh_offset) + relative;
  if (!image.Contains(offset, symbol.st_size)) return false;
  *bytes = image.data + offset;
  return true;
}

bool AllZero(const uint8_t* bytes, uint32_t length) {
  return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

// Whether non-weak definition `x` of object `a` and `y` of object `b` are the
// same definition.
bool SameDefinition(const ObjectModule& a, const ElfSymbol& x, uint32_t x_shndx, const ObjectModule& b,
                    const ElfSymbol& y, uint32_t y_shndx) {
  ElfImage image_a = a.Image();
  ElfImage image_b = b.Image();
  if (x_shndx >= image_a.SectionCount() || y_shndx >= image_b.SectionCount()) {
    return x_shndx == y_shndx;
  }
  if (x.st_size != y.st_size || x.st_info != y.st_info) return false;
  std::optional<SectionHeader> section_a = image_a.Section(x_shndx);
  std::optional<SectionHeader> section_b = image_b.Section(y_shndx);
  if (!section_a || !section_b) return false;
  bool nobits_a = section_a->sh_type == SHT_NOBITS;
  bool nobits_b = section_b->sh_type == SHT_NOBITS;
  if (nobits_a && nobits_b) return true;
  if (x.st_size == 0) return true;
  const uint8_t* bytes_a = nullptr;
  const uint8_t* bytes_b = nullptr;
  if (!nobits_a && !DefinitionBytes(image_a, *section_a, x, &bytes_a)) return false;
  if (!nobits_b && !DefinitionBytes(image_b, *section_b, y, &bytes_b)) return false;
  if (nobits_a) return AllZero(bytes_b, y.st_size);
  if (nobits_b) return AllZero(bytes_a, x.st_size);
  return std::memcmp(bytes_a, bytes_b, x.st_size) == 0;
}

// Bytes SectionName looked at for section `index`: the name and its zero, or
// the rest of the section-name table when the name does not end inside it.
uint64_t SectionNameCost(const ElfImage& image, uint32_t index, const std::optional<std::string_view>& name) {
  if (name) return name->size() + uint64_t{1};
  std::optional<SectionHeader> names = image.Section(image.SectionNamesIndex());
  std::optional<SectionHeader> section = image.Section(index);
  if (!names || !section || section->sh_name >= names->sh_size) return 0;
  return names->sh_size - section->sh_name;
}

// Makes `object`'s entry the definition in force. Every field that follows
// from the definition is set here, so none can be left stale. Only an object
// with COMDAT groups costs a look at the section index.
void TakeDefinition(TrackedSymbol& record, ObjectModule& object, const uint8_t* symbol_entry, SymbolKind kind,
                    bool weak, bool loadable) {
  record.object = &object;
  record.symbol_offset = static_cast<uint32_t>(symbol_entry - object.image);
  record.definition_loadable = loadable ? 2 : 1;
  record.is_code = kind == kKindCode;
  record.is_tls = kind == kKindTls;
  record.is_weak = weak;
  const uint8_t visibility = SymbolVisibility(LoadAt<uint8_t>(symbol_entry + offsetof(ElfSymbol, st_other)));
  record.definition_hidden = visibility == STV_HIDDEN || visibility == STV_INTERNAL;
  const bool comdat = (!object.facts.sections_noted || !object.facts.comdat_members.empty()) &&
                      ComdatGroupOf(object, SymbolSectionIndex(object, symbol_entry)) != 0;
  record.class_flags = static_cast<uint8_t>(comdat ? record.class_flags | CLASS_COMDAT
                                                   : record.class_flags & ~CLASS_COMDAT);
}

// What -v says of a definition met for a name whose record holds another.
// Worded for the tracking pass's order, where the definition in force was met
// first: a weak one met later is overridden, a weak one in force is
// realized, and two non-weak ones are compared.
void ReportMeeting(Sink& console, const TrackedSymbol& in_force, const ObjectModule& object,
                   const uint8_t* symbol_entry, const ElfSymbol& symbol, bool weak) {
  const std::string_view name = in_force.name();
  const char* shown = name.data();
  const int shown_length = PrintedLength(name);
  if (weak) {
    if (!in_force.is_weak) {
      Print(console, "INFO: Weak symbol \"%.*s\" from \"%s\" overridden by non-weak definition in \"%s\"\n",
            shown_length, shown, object.name.c_str(), in_force.object->name.c_str());
    }
    return;
  }
  if (in_force.is_weak) {
    Print(console, "INFO: Weak symbol \"%.*s\" realized in \"%s\".\n", shown_length, shown, object.name.c_str());
    return;
  }
  std::optional<ElfSymbol> in_force_symbol = DefinitionSymbol(in_force);
  const uint8_t* in_force_entry = DefinitionEntry(in_force);
  if (!in_force_symbol ||
      !SameDefinition(*in_force.object, *in_force_symbol, SymbolSectionIndex(*in_force.object, in_force_entry), object,
                      symbol, SymbolSectionIndex(object, symbol_entry))) {
    Print(console, "INFO: Non-weak Symbol \"%.*s\" defined differently in \"%s\" and \"%s\"!\n", shown_length,
          shown, object.file->path.c_str(), in_force.object->file->path.c_str());
  }
}

// Enters one definition, its name's SymbolTable::HashName and whether it is
// loadable (IsLoadableDefinition) worked out already; returns the record now
// in force, or null when a new record cannot be allocated.
TrackedSymbol* Meet(SymbolTable& symbols, Sink& console, std::string_view name, uint32_t hash,
                    ObjectModule& object, uint32_t symtab_index, const uint8_t* symbol_entry, SymbolKind kind,
                    std::optional<std::string_view> section_name, bool loadable, bool verbose) {
  const uint8_t flags = ClassifySymbolName(section_name, name);
  const ElfSymbol symbol = LoadAt<ElfSymbol>(symbol_entry);
  const bool weak = SymbolBinding(symbol.st_info) == STB_WEAK;

  // The table copies the key: the input's pages may be given back once it
  // has been tracked.
  bool made = false;
  uint32_t found = symbols.FindOrAdd(name, hash, &made);
  if (found == kNoRecord) return nullptr;
  TrackedSymbol& record = symbols.At(found);
  if (made) {
    record.class_flags = flags;
    TakeDefinition(record, object, symbol_entry, kind, weak, loadable);
    return &record;
  }
  record.class_flags |= flags;
  if (verbose && record.object != nullptr) ReportMeeting(console, record, object, symbol_entry, symbol, weak);
  const MetDefinition met{&object, symtab_index, static_cast<uint32_t>(symbol_entry - object.image), weak};
  if (Wins(met, record)) TakeDefinition(record, object, symbol_entry, kind, weak, loadable);
  return &record;
}

}  // namespace

bool Wins(const MetDefinition& candidate, const TrackedSymbol& in_force) {
  const ObjectModule* holder = in_force.object;
  if (holder == nullptr) return true;
  if (candidate.weak != static_cast<bool>(in_force.is_weak)) return !candidate.weak;
  if (candidate.object != holder) return candidate.object->ordinal > holder->ordinal;
  // One object: the earlier table, then the earlier entry (offsets in one
  // table grow with the index). An entry is taken to be met in the first
  // table that holds it, as SymbolSectionIndex reads it; met again there, it
  // is taken again, which changes nothing.
  if (holder->facts.symbol_tables.size() > 1 || !holder->facts.sections_noted) {
    const uint32_t table = SymbolTableHolding(*holder, in_force.symbol_offset);
    if (table != candidate.symtab_index) return candidate.symtab_index < table;
  }
  return candidate.symbol_offset <= in_force.symbol_offset;
}

const uint8_t* DefinitionEntry(const TrackedSymbol& record) {
  if (record.object == nullptr || !record.object->Image().Contains(record.symbol_offset, kSymbolSize)) return nullptr;
  return record.object->image + record.symbol_offset;
}

std::optional<ElfSymbol> DefinitionSymbol(const TrackedSymbol& record) {
  if (record.object == nullptr) return std::nullopt;
  return record.object->Image().SymbolAt(record.symbol_offset);
}

bool IsLoadableDefinition(const ObjectModule& object, const uint8_t* symbol_entry, const ElfSymbol& symbol) {
  ElfImage image = object.Image();
  if (uint32_t shndx = SymbolSectionIndex(object, symbol_entry); shndx < image.SectionCount()) {
    std::optional<SectionHeader> section = image.Section(shndx);
    return section && (section->sh_flags & SHF_ALLOC) != 0;
  }
  return symbol.st_shndx == SHN_COMMON || symbol.st_shndx == SHN_TLS_COMMON;
}

uint8_t ClassifySymbolName(std::optional<std::string_view> section_name, std::string_view name) {
  uint8_t flags = 0;
  if (section_name && section_name->starts_with(kLinkoncePrefix)) flags |= CLASS_LINKONCE;
  if (name.starts_with(kStaticInitPrefix)) flags |= CLASS_STATIC_INIT;
  if (name.find("..") != std::string_view::npos) flags |= CLASS_DOUBLE_DOT;
  return flags;
}

Status TrackSymbolTable(SymbolTable& symbols, Sink& console, ObjectModule& object, uint32_t symtab_index,
                        bool verbose) {
  ElfImage image = object.Image();
  std::optional<SectionHeader> symtab = image.Section(symtab_index);
  if (!symtab) return kOk;
  uint32_t section_count = image.SectionCount();
  uint32_t entry_size = SymbolEntrySize(*symtab);
  uint32_t count = symtab->sh_size / entry_size;
  uint32_t index_table = SymbolIndexTableOf(object, symtab_index);
  // A table without a string table (sh_link 0, or a link that is not a string
  // table) has no readable names: its entries are passed over.
  uint32_t strtab_index = symtab->sh_link;
  std::optional<SectionHeader> strtab;
  if (strtab_index != 0) strtab = image.Section(strtab_index);
  if (!strtab || strtab->sh_type != SHT_STRTAB) return kOk;
  const uint8_t* strings = nullptr;
  uint32_t strings_length = 0;
  if (!image.SectionContent(*strtab, &strings, &strings_length)) return kOk;

  // Kind and name of each defining section, worked out when a symbol first
  // needs them: with one section per function or variable, sections are as
  // many as symbols, and the lookups would otherwise repeat per symbol.
  struct SectionFacts {
    bool known = false;
    bool loadable = false;
    SymbolKind kind = kKindData;
    std::optional<std::string_view> name;
    uint32_t content_size = 0;  // bytes a -v comparison may read, 0 for NOBITS
  };
  std::vector<SectionFacts> facts(section_count);
  // The section-name table, as ElfImage::SectionName finds it.
  std::optional<std::string_view> section_names;
  if (uint32_t names_index = image.SectionNamesIndex(); names_index != 0) {
    std::optional<SectionHeader> names = image.Section(names_index);
    const uint8_t* begin;
    uint32_t length;
    if (names && names->sh_type != SHT_NOBITS && image.SectionContent(*names, &begin, &length))
      section_names = std::string_view(reinterpret_cast<const char*>(begin), length);
  }

  // Any number of symbols may name the same long string, or lie in sections
  // with the same long name, so the bytes read for them are charged.
  ReadBudget budget(image.size);
  auto over_budget = [&](uint64_t bytes) {
    if (budget.Charge(bytes)) return false;
    Print(console, "***Error: Symbol names in \"%s\" take too long to read. Return -1.\n", object.name.c_str());
    return true;
  };

  // The next entry's name is read and hashed one entry early, so that its
  // place in the table is on its way to the cache while this one is entered.
  // Only reading: what it costs is charged in turn.
  struct Ahead {
    uint32_t index = UINT32_MAX;
    std::optional<std::string_view> name;
    uint32_t hash = 0;
  } ahead;
  auto read_ahead = [&](uint32_t index) {
    const uint8_t* entry = index < count ? image.Entry(*symtab, entry_size, index, kSymbolSize) : nullptr;
    if (entry == nullptr) return;
    ElfSymbol symbol = LoadAt<ElfSymbol>(entry);
    uint8_t binding = SymbolBinding(symbol.st_info);
    if ((binding != STB_GLOBAL && binding != STB_WEAK) || symbol.st_shndx == SHN_UNDEF) return;
    if (symbol.st_name >= strings_length) return;
    ahead.index = index;
    ahead.name = BoundedString(strings, strings_length, symbol.st_name);
    if (!ahead.name) return;
    ahead.hash = SymbolTable::HashName(*ahead.name);
    symbols.Prefetch(ahead.hash);
  };

  for (uint32_t i = 0; i < count; ++i) {
    // Entries past the image are all at the table's end.
    uint8_t* entry = image.Entry(*symtab, entry_size, i, kSymbolSize);
    if (entry == nullptr) break;
    ElfSymbol symbol = LoadAt<ElfSymbol>(entry);
    uint32_t shndx = image.SymbolSectionIndex(index_table, i, symbol.st_shndx);
    uint8_t binding = SymbolBinding(symbol.st_info);
    if ((binding != STB_GLOBAL && binding != STB_WEAK) || shndx == SHN_UNDEF) continue;
    // A name that does not end inside its table cannot be read safely; the
    // search for its end still costs the rest of the table.
    if (symbol.st_name >= strings_length) continue;
    const bool read_early = ahead.index == i;
    std::optional<std::string_view> name =
        read_early ? ahead.name : BoundedString(strings, strings_length, symbol.st_name);
    uint32_t hash = ahead.hash;
    if (!read_early && name) {
      hash = SymbolTable::HashName(*name);
    }
    read_ahead(i + 1);
    if (over_budget(name ? name->size() + uint64_t{1} : strings_length - symbol.st_name)) return -1;
    if (!name) continue;
    SymbolKind kind;
    bool loadable;
    std::optional<std::string_view> section_name;
    if (shndx < section_count) {
      SectionFacts& section = facts[shndx];
      if (!section.known) {
        // One read of the header gives what KindOf, SectionName and
        // IsLoadableDefinition would each read it for.
        section.known = true;
        if (std::optional<SectionHeader> header = image.Section(shndx)) {
          section.kind = KindFromFlags(header->sh_flags);
          section.loadable = (header->sh_flags & SHF_ALLOC) != 0;
          if (section_names) {
            section.name = BoundedString(reinterpret_cast<const uint8_t*>(section_names->data()),
                                         section_names->size(), header->sh_name);
          }
          if (header->sh_type != SHT_NOBITS) section.content_size = header->sh_size;
        }
        if (over_budget(SectionNameCost(image, shndx, section.name))) return -1;
      }
      kind = section.kind;
      loadable = section.loadable;
      section_name = section.name;
      // Under -v a repeated definition is compared with the one in force.
      if (verbose && symbol.st_size <= section.content_size && over_budget(symbol.st_size)) return -1;
    } else {
      kind = KindOf(image, section_count, shndx);
      loadable = IsLoadableDefinition(object, entry, symbol);
    }
    if (Meet(symbols, console, *name, hash, object, symtab_index, entry, kind, section_name, loadable, verbose) ==
        nullptr) {
      Print(console, "***Error tracking symbol \"%.*s\". Return -1\n", PrintedLength(*name), name->data());
      return -1;
    }
  }
  return kOk;
}

}  // namespace prepqdm
