// The list of symbols chosen for export, newest first, and the selection
// that makes it. Each TrackedSymbol is on it at most once; its `exported`
// flag says whether it is. It is kept as an array in order of addition (4
// bytes an entry, a big build has hundreds of thousands), read from the back
// where the list is read from its head.
//
// Selection records a verdict in every record it looks at (see ExportVerdict
// and the REASON_* bits) and prints each message from the reasons it has
// just recorded, so what a run prints and what qdmdump --explain reads back
// are one and the same decision.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/output.h"
#include "host/status.h"
#include "symbols/tracked_symbol.h"

namespace prepqdm {

struct InputRegistry;
struct MappedFile;
struct SymbolTable;

struct ExportEntry {
  uint32_t record = kNoRecord;  // the TrackedSymbol, by its number in the SymbolTable
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

// The options selection reads.
struct SelectionSettings {
  bool export_all = false;     // -xall
  bool warn_sti = false;       // -warnsti
  bool warn_linkonce = false;  // -warnlinkonce
  bool verbose = false;        // -v: the in-code export count of each object
};

// What selection made: the list and the requested names that no record
// holds (in the order they were refused).
struct SelectionResult {
  Status status = kOk;
  ExportList exports;
  std::vector<std::string> missing;
};

// One selection under way: what it reads, where its messages go, and what it
// makes. The definition file, the objects' ".export" sections and tests all
// add through it.
struct Selector {
  SymbolTable& symbols;
  Sink& console;
  const SelectionSettings& settings;
  SelectionResult& result;
};

// Gathers (from the whole table with -xall, else from the definition file
// and the objects' ".export" sections), checks and excludes.
SelectionResult SelectExports(SymbolTable& symbols, InputRegistry& registry, const MappedFile* def_file,
                              const MappedFile* exclude_file, const SelectionSettings& settings, Sink& console);

// Checks one requested name and adds it: 0, or -1 after its messages.
Status CheckAndAddExport(Selector& selector, std::string_view name);
Status AddExport(Selector& selector, uint32_t record);
int CompareExportNames(const SymbolTable& symbols, const ExportEntry& a, const ExportEntry& b);

// Prints the refusal of a name that no record holds and returns -1. Also used
// for in-code exports whose symbol cannot be read from a malformed object.
// A table name is refused the same way, with a note, held or not.
Status RefuseMissingExport(Selector& selector, std::string_view name);

// The reasons an -xall run passes a record over (0 when it is eligible).
ExportReasons ExportAllReasons(const TrackedSymbol& record);

// The reasons a requested record fails or is warned about, and whether they
// refuse it (-warnlinkonce and -warnsti turn two of them into warnings).
ExportReasons CheckReasons(const TrackedSymbol& record);
bool Refuses(ExportReasons reasons, const SelectionSettings& settings);

// The message selection prints for one reason about a requested `name`,
// without its line end (an error, or a warning where the settings allow the
// export); a table name's is two lines, the refusal and its note.
// kCheckMessageOrder is the order of the messages.
std::string CheckMessage(ExportReasons reason, const SelectionSettings& settings, std::string_view name);
constexpr ExportReasons kCheckMessageOrder[] = {REASON_TABLE_NAME, REASON_LTO_MARKER, REASON_WEAK,
                                                REASON_LINKONCE,   REASON_DOUBLE_DOT, REASON_STATIC_INIT};

}  // namespace prepqdm
