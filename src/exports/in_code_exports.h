// Exports that objects declare themselves: one 32-bit word per export in a
// section named ".export", relocated against the symbol to export.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "elf/elf_format.h"
#include "host/output.h"
#include "host/status.h"

namespace prepqdm {

struct InputRegistry;
struct ObjectModule;
struct Selector;

// Index of the first section named exactly ".export", or nothing when no
// section is (or the object has no section names). Registration has usually
// worked it out already; otherwise the image is searched.
std::optional<uint32_t> FindExportSection(const ObjectModule& object);

// One declared export: word `entry` of the ".export" section, relocated by
// entry `relocation_index` of `relocations` against symbol `symbol_index` of
// the symbol table that section links to. `readable` is false when the links
// lead nowhere (the name is then a best effort, possibly empty).
struct InCodeExport {
  uint32_t entry = 0;
  SectionHeader relocations{};
  uint32_t relocation_index = 0;
  uint32_t symbol_index = 0;
  std::string_view name;
  bool readable = false;
};

// Reads the exports that `object` declares in section `export_index`, in
// word order, handing each to `visit`; a non-zero status from it ends the
// reading and is returned. Prints the failure and returns -1 when the
// relocations cannot tell what a word exports. Selection and qdmdump
// --explain (which asks where a name was requested) read them alike.
Status ReadInCodeExports(const ObjectModule& object, const SectionHeader& export_section, uint32_t export_index,
                         Sink& console, const std::function<Status(const InCodeExport&)>& visit);

// Adds the exports that `object` declares in section `export_index`. Returns
// 0, or -1 after its message when one cannot be found or is refused.
Status CollectInCodeExports(Selector& selector, const ObjectModule& object, const SectionHeader& export_section,
                            uint32_t export_index);

// Runs the search over every registered object, newest first. An object's
// pages are given back to its file once its exports have been collected.
Status CollectAllInCodeExports(Selector& selector, InputRegistry& registry);

}  // namespace prepqdm
