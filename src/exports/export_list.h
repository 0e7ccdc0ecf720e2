// The list of symbols chosen for export, newest first. Each TrackedSymbol is
// on it at most once; its `exported` flag says whether it is. It is kept as
// an array in order of addition (8 bytes an entry, a big build has hundreds
// of thousands), read from the back where the list is read from its head.
#pragma once
#include <cstdint>
#include <vector>

#include "host/status.h"
#include "symbols/tracked_symbol.h"

namespace prepqdm {

struct RunState;
struct MappedFile;
struct SymbolTree;

struct ExportEntry {
  uint32_t record = kNoRecord;  // the TrackedSymbol, by its number in the SymbolTree
  uint32_t name_offset = 0;     // filled by the writer
};

struct ExportList {
  // Oldest first: the list's head, the newest entry, is the last element.
  std::vector<ExportEntry> entries;
  // Whether `entries` are in strictly ascending name order (so the list,
  // newest first, is descending), as -xall adds them: the writer then need
  // not sort. Kept by AddExport; removals cannot break it.
  bool ascending = true;
  int32_t count() const { return static_cast<int32_t>(entries.size()); }
  bool empty() const { return entries.empty(); }
};

// Gathers, checks and excludes, then has the export object written.
Status SelectExports(RunState& run, MappedFile* def_file, MappedFile* exclude_file);
Status CheckAndAddExport(RunState& run, const uint8_t* name, uint32_t length);
Status AddExport(RunState& run, uint32_t record);
int CompareExportNames(const SymbolTree& tree, const ExportEntry& a, const ExportEntry& b);

// Prints the refusal of a name that no record holds and returns -1. Also used
// for in-code exports whose symbol cannot be read from a malformed object.
Status RefuseMissingExport(RunState& run, const uint8_t* name, uint32_t length);

}  // namespace prepqdm
