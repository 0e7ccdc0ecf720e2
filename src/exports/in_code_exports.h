// Exports that objects declare themselves: one 32-bit word per export in a
// section named ".export", relocated against the symbol to export.
#pragma once
#include <cstdint>
#include <optional>

#include "elf/elf_format.h"
#include "host/status.h"

namespace prepqdm {

struct InputRegistry;
struct ObjectModule;
struct Selector;

// Index of the first section named exactly ".export", or nothing when no
// section is (or the object has no section names). Registration has usually
// worked it out already; otherwise the image is searched.
std::optional<uint32_t> FindExportSection(const ObjectModule& object);

// Adds the exports that `object` declares in section `export_index`. Returns
// 0, or -1 after its message when one cannot be found or is refused.
Status CollectInCodeExports(Selector& selector, const ObjectModule& object, const SectionHeader& export_section,
                            uint32_t export_index);

// Runs the search over every registered object, newest first. An object's
// pages are given back to its file once its exports have been collected.
Status CollectAllInCodeExports(Selector& selector, InputRegistry& registry);

}  // namespace prepqdm
