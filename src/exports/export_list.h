// The list of symbols chosen for export, newest first. Each TrackedSymbol is
// on it at most once; its `exported` flag says whether it is.
#pragma once
#include <cstdint>

#include "host/status.h"
#include "symbols/tracked_symbol.h"

namespace prepqdm {

struct RunState;
struct MappedFile;

struct ExportEntry {
  TrackedSymbol* tracked_symbol = nullptr;
  uint32_t name_offset = 0;  // filled by the writer
  ExportEntry* next = nullptr;
};

struct ExportList {
  ExportEntry* head = nullptr;
  int32_t count = 0;
  ~ExportList();
};

// Gathers, checks and excludes, then has the export object written.
Status SelectExports(RunState& run, MappedFile* def_file, MappedFile* exclude_file);
Status CheckAndAddExport(RunState& run, const uint8_t* name, uint32_t length);
Status AddExport(RunState& run, TrackedSymbol* symbol);
int CompareExportNames(const ExportEntry* a, const ExportEntry* b);

// Prints the refusal of a name that no record holds and returns -1. Also used
// for in-code exports whose symbol cannot be read from a malformed object.
Status RefuseMissingExport(RunState& run, const uint8_t* name, uint32_t length);

}  // namespace prepqdm
