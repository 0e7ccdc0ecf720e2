// Registration of relocatable objects. An object is registered only after its
// image has passed every ELF check (and been brought to host order); the
// record keeps one reference on the mapping that holds the bytes, because
// every later stage reads the object straight from that view. The registry
// is a list, newest first, and nothing is ever removed from it.
//
// Registration is also the moment an object's bytes are freshest, so two
// things are done then: the ".export" section, if any, is found while the
// section headers are resident, and the object's pages are given back to the
// file (unless its view was written, as a big-endian object's is), to be
// faulted in again only when a later stage reads them. The same pass over the
// section names tells whether the object has GCC's LTO sections; only then
// are its symbols searched for the slim-object marker, which is refused.
#include "elf/object_module.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "elf/elf_reader.h"
#include "elf/lto_objects.h"
#include "host/paths.h"

namespace prepqdm {

namespace {

struct SectionNameFacts {
  std::optional<uint32_t> export_section;
  bool lto_sections = false;  // a section named ".gnu.lto_*"
};

// One pass over the section names for both facts, while the section headers
// and their names are resident; without `lto`, up to the first ".export".
SectionNameFacts ScanSectionNames(const ElfImage& image, bool lto) {
  static constexpr uint8_t kExportName[8] = {'.', 'e', 'x', 'p', 'o', 'r', 't', 0};
  SectionNameFacts facts;
  if (image.size < kElfHeaderSize) return facts;
  uint32_t names_index = image.SectionNamesIndex();
  if (names_index == 0) return facts;
  std::optional<SectionHeader> names = image.Section(names_index);
  const uint8_t* table;
  uint32_t table_length;
  if (!names || !image.SectionContent(*names, &table, &table_length)) return facts;

  uint32_t count = image.SectionCount();
  for (uint32_t index = 0; index < count; ++index) {
    std::optional<SectionHeader> section = image.Section(index);
    if (!section) continue;
    uint32_t offset = section->sh_name;
    if (offset > table_length) continue;
    const uint32_t left = table_length - offset;
    if (!facts.export_section && left >= sizeof kExportName &&
        std::memcmp(table + offset, kExportName, sizeof kExportName) == 0) {
      facts.export_section = index;
    } else if (left >= kGccLtoSectionPrefix.size() &&
               std::memcmp(table + offset, kGccLtoSectionPrefix.data(), kGccLtoSectionPrefix.size()) == 0) {
      facts.lto_sections = true;
    }
    if (facts.export_section && (facts.lto_sections || !lto)) break;
  }
  return facts;
}

}  // namespace

std::optional<uint32_t> FindExportSectionIndex(const ElfImage& image) {
  return ScanSectionNames(image, false).export_section;
}

namespace {

// The offset and size of each section, in table order.
struct LayoutHash {
  uint64_t value = 0x9E3779B97F4A7C15ull;
  void Add(const SectionHeader& section) {
    value = (value ^ ((uint64_t{section.sh_offset} << 32) | section.sh_size)) * 0x100000001B3ull;
  }
};

inline uint64_t Mix(uint64_t value) {
  value ^= value >> 33;
  value *= 0xFF51AFD7ED558CCDull;
  value ^= value >> 33;
  value *= 0xC4CEB9FE1A85EC53ull;
  value ^= value >> 33;
  return value;
}

}  // namespace

uint64_t ContentHash(const uint8_t* bytes, uint32_t size) {
  uint64_t h0 = 0x9E3779B97F4A7C15ull ^ size;
  uint64_t h1 = 0xD6E8FEB86659FD93ull;
  uint32_t i = 0;
  for (; size - i >= 16; i += 16) {
    h0 = (h0 ^ Mix(LoadAt<uint64_t>(bytes + i))) * 0x100000001B3ull;
    h1 = (h1 ^ Mix(LoadAt<uint64_t>(bytes + i + 8))) * 0x100000001B3ull;
  }
  uint8_t tail[16] = {};
  std::memcpy(tail, bytes + i, size - i);
  h0 = (h0 ^ Mix(LoadAt<uint64_t>(tail))) * 0x100000001B3ull;
  h1 = (h1 ^ Mix(LoadAt<uint64_t>(tail + 8))) * 0x100000001B3ull;
  return Mix(h0 ^ Mix(h1 + 0x632BE59BD9B4E019ull));
}

uint64_t ShapeOf(const ObjectModule& module) {
  uint32_t count = 0;
  uint64_t layout = 0;
  if (module.facts.sections_noted) {
    count = module.facts.section_count;
    layout = module.facts.layout_hash;
  } else if (module.image != nullptr && module.size >= kElfHeaderSize) {
    const ElfImage image = module.Image();
    count = image.SectionCount();
    LayoutHash hash;
    for (uint32_t index = 0; index < count; ++index)
      if (std::optional<SectionHeader> section = image.Section(index)) hash.Add(*section);
    layout = hash.value;
  }
  return Mix(((uint64_t{module.size} << 32) | count) ^ Mix(layout));
}

namespace {

// Calls visit(group, member) for each member of each COMDAT group of the
// image, up to the first word that is not inside the section and the image.
template <typename Visit>
void ForEachComdatMember(const ElfImage& image, uint32_t first_group, Visit&& visit) {
  const uint32_t count = image.SectionCount();
  for (uint32_t index = first_group; index < count; ++index) {
    std::optional<SectionHeader> group = image.Section(index);
    if (!group || group->sh_type != SHT_GROUP || (group->sh_flags & SHF_SIZE_PREFIXED)) continue;
    const uint8_t* flags = image.Entry(*group, 4, 0, 4);
    if (flags == nullptr || !(LoadAt<uint32_t>(flags) & GRP_COMDAT)) continue;
    for (uint32_t k = 1; const uint8_t* at = image.Entry(*group, 4, k, 4); ++k) visit(index, LoadAt<uint32_t>(at));
  }
}

}  // namespace

void NoteSectionFacts(ObjectModule& module) {
  module.facts.sections_noted = true;
  module.facts.import_stub = false;
  module.facts.symbol_tables.clear();
  module.facts.symbol_index_tables.clear();
  module.facts.comdat_members.clear();
  module.facts.section_count = 0;
  if (module.image == nullptr || module.size < kElfHeaderSize) return;
  ElfImage image = module.Image();
  uint32_t count = image.SectionCount();
  module.facts.section_count = count;
  uint32_t first_index_table = 0;
  uint32_t first_group = 0;
  LayoutHash layout;
  for (uint32_t index = 0; index < count; ++index) {
    std::optional<SectionHeader> section = image.Section(index);
    if (!section) continue;
    layout.Add(*section);
    if (section->sh_type == SHT_QDM_IMPORTS) module.facts.import_stub = true;
    if (index == 0 || (section->sh_flags & SHF_SIZE_PREFIXED)) continue;
    if (section->sh_type == SHT_SYMTAB_SHNDX && first_index_table == 0) first_index_table = index;
    if (section->sh_type == SHT_GROUP && first_group == 0) first_group = index;
    if (section->sh_type != SHT_SYMTAB) continue;
    try {
      module.facts.symbol_tables.push_back(index);
    } catch (const std::bad_alloc&) {
      module.facts.sections_noted = false;  // the tracking pass looks again
      return;
    }
  }
  module.facts.layout_hash = layout.value;
  if (first_group != 0) {
    try {
      ForEachComdatMember(image, first_group, [&](uint32_t group, uint32_t member) {
        if (member != 0 && member < count) module.facts.comdat_members.emplace_back(member, group);
      });
      // A section listed twice keeps its first group, as without notes.
      std::stable_sort(module.facts.comdat_members.begin(), module.facts.comdat_members.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
    } catch (const std::bad_alloc&) {
      module.facts.comdat_members.clear();
      module.facts.sections_noted = false;
      return;
    }
  }
  if (first_index_table == 0) return;  // no extended symbol section indices
  try {
    module.facts.symbol_index_tables.assign(module.facts.symbol_tables.size(), 0);
  } catch (const std::bad_alloc&) {
    module.facts.sections_noted = false;
    return;
  }
  // Objects have one symbol table or a few, and index tables as many.
  for (uint32_t index = first_index_table; index < count; ++index) {
    std::optional<SectionHeader> section = image.Section(index);
    if (!section || section->sh_type != SHT_SYMTAB_SHNDX || (section->sh_flags & SHF_SIZE_PREFIXED)) continue;
    for (size_t k = 0; k < module.facts.symbol_tables.size(); ++k) {
      if (module.facts.symbol_tables[k] == section->sh_link && module.facts.symbol_index_tables[k] == 0) {
        module.facts.symbol_index_tables[k] = index;
      }
    }
  }
}

uint32_t SymbolIndexTableOf(const ObjectModule& module, uint32_t symtab_index) {
  if (!module.facts.sections_noted) return module.Image().FindSymbolIndexTable(symtab_index);
  if (module.facts.symbol_index_tables.empty()) return 0;
  for (size_t k = 0; k < module.facts.symbol_tables.size(); ++k) {
    if (module.facts.symbol_tables[k] == symtab_index) return module.facts.symbol_index_tables[k];
  }
  return 0;
}

uint32_t ComdatGroupOf(const ObjectModule& module, uint32_t section) {
  if (module.facts.sections_noted) {
    auto found = std::lower_bound(module.facts.comdat_members.begin(), module.facts.comdat_members.end(), section,
                                  [](const auto& member, uint32_t s) { return member.first < s; });
    return found != module.facts.comdat_members.end() && found->first == section ? found->second : 0;
  }
  if (module.image == nullptr || module.size < kElfHeaderSize) return 0;
  uint32_t found = 0;
  ForEachComdatMember(module.Image(), 1, [&](uint32_t group, uint32_t member) {
    if (member == section && section != 0 && found == 0) found = group;
  });
  return found;
}

namespace {

// Whether symbol table `symtab_index` holds the entry at `offset`; its index
// there in *symbol_index.
bool TableHolds(const ElfImage& image, uint32_t symtab_index, uint64_t offset, uint32_t* symbol_index) {
  std::optional<SectionHeader> symtab = image.Section(symtab_index);
  if (!symtab || symtab->sh_type != SHT_SYMTAB || offset < symtab->sh_offset) return false;
  uint64_t relative = offset - symtab->sh_offset;
  if (relative >= symtab->sh_size) return false;
  *symbol_index = static_cast<uint32_t>(relative / SymbolEntrySize(*symtab));
  return true;
}

uint32_t TableHolding(const ObjectModule& module, uint64_t offset, uint32_t* symbol_index) {
  ElfImage image = module.Image();
  if (module.facts.sections_noted) {
    for (uint32_t symtab_index : module.facts.symbol_tables) {
      if (TableHolds(image, symtab_index, offset, symbol_index)) return symtab_index;
    }
    return 0;
  }
  uint32_t count = image.SectionCount();
  for (uint32_t symtab_index = 1; symtab_index < count; ++symtab_index) {
    if (TableHolds(image, symtab_index, offset, symbol_index)) return symtab_index;
  }
  return 0;
}

}  // namespace

uint32_t SymbolTableHolding(const ObjectModule& module, uint32_t offset) {
  uint32_t symbol_index = 0;
  return module.image == nullptr ? 0 : TableHolding(module, offset, &symbol_index);
}

uint32_t SymbolSectionIndex(const ObjectModule& module, const uint8_t* symbol_entry) {
  uint16_t st_shndx = LoadAt<uint16_t>(symbol_entry + offsetof(ElfSymbol, st_shndx));
  ElfImage image = module.Image();
  if (st_shndx != SHN_XINDEX) return image.SymbolSectionIndex(0, 0, st_shndx);
  uintptr_t at = reinterpret_cast<uintptr_t>(symbol_entry), base = reinterpret_cast<uintptr_t>(module.image);
  if (module.image == nullptr || at < base || at - base >= module.size) return kNoSectionIndex;
  // The symbol table that holds the entry gives the entry's index in it.
  uint32_t symbol_index = 0;
  const uint32_t symtab_index = TableHolding(module, at - base, &symbol_index);
  if (symtab_index == 0) return kNoSectionIndex;
  return image.SymbolSectionIndex(SymbolIndexTableOf(module, symtab_index), symbol_index, st_shndx);
}

Status OpenObjectModule(InputRegistry& registry, Sink& console, MappedFile* file, std::string_view name,
                        uint8_t* image, uint32_t size, std::string_view named) {
  int name_length = static_cast<int>(name.size());
  uint32_t code = ParseElfImage(image, size, file != nullptr ? &file->written : nullptr);
  if (code != 0) {
    Print(console, "*** Error 0x%08X parsing ELF file \"%.*s\"\n", code, name_length, name.data());
    if (HasLlvmBitcodeMagic(image, size))
      Print(console, "  note: %.*s: %s\n", name_length, name.data(), kLlvmBitcodeWords);
    return AsStatus(code);
  }
  ElfHeader header = ElfImage{image, size}.Header();
  if (header.e_type != ET_REL) {
    Print(console, "*** Error Object file \"%.*s\" is not relocatable. return -1.\n", name_length, name.data());
    return -1;
  }
  if (ElfImage{image, size}.SectionCount() == 0) {
    Print(console, "*** Error Object file \"%.*s\" has no sections. return -1.\n", name_length, name.data());
    return -1;
  }

  const SectionNameFacts section_names = ScanSectionNames(ElfImage{image, size}, true);
  // Only an object with LTO sections can be one of GCC's slim LTO objects.
  if (section_names.lto_sections && HasSlimLtoMarker(ElfImage{image, size})) {
    const std::string_view shown = named.empty() ? name : named;
    Print(console, "***Error: \"%.*s\" %s. Return -1.\n", static_cast<int>(shown.size()), shown.data(),
          kSlimLtoWords);
    return -1;
  }

  ObjectModule* module = nullptr;
  try {
    std::string copy(name);
    registry.storage.emplace_back();
    module = &registry.storage.back();
    module->name = std::move(copy);
  } catch (const std::bad_alloc&) {
    Print(console, "*** Error Out of memory.\n");
    return kEOutOfMemory;
  }
  RetainMappedFile(file);
  module->file = file;
  module->size = size;
  module->image = image;
  module->facts.export_section = section_names.export_section ? *section_names.export_section : kNoExportSection;
  NoteSectionFacts(*module);
  // Only objects of the same shape can be copies of each other (the
  // tracking pass groups them so). The first of a shape is hashed later, if
  // another comes; the others now, while their pages are still resident.
  // Sizes and section counts alone often agree among a build's objects.
  try {
    if (!registry.shapes_seen.insert(ShapeOf(*module)).second) {
      module->facts.content_hash = ContentHash(image, size);
      module->facts.hashed = true;
    }
  } catch (const std::bad_alloc&) {
    // Hashed later, when needed.
  }
  module->next = registry.head;
  registry.head = module;
  ++registry.count;
  module->ordinal = static_cast<uint32_t>(registry.count);
  if (registry.registered) registry.registered(*module);
  ObjectDone(registry, *module);
  return kOk;
}

void ObjectDone(InputRegistry& registry, const ObjectModule& module) {
  if (module.file != nullptr && module.image != nullptr)
    registry.residency.Done(*module.file, module.image, module.size);
}

void ObjectsDone(InputRegistry& registry) { registry.residency.StageOver(); }

Status RegisterMappedObject(InputRegistry& registry, Sink& console, MappedFile* file, std::string_view named) {
  std::string_view name = FileNamePart(file->path);
  Status status =
      OpenObjectModule(registry, console, file, name, file->view, static_cast<uint32_t>(file->size), named);
  if (status != kOk) return status;
  ReleaseMappedFile(file);
  return kOk;
}

}  // namespace prepqdm
