// Export definition and exclude files: lines of names under [CODE], [DATA]
// and [TLS] directives, with ';' and '#' comments. One scanner serves every
// reading of either file.
#pragma once
#include <cstdint>

#include "host/output.h"
#include "host/status.h"
#include "symbols/tracked_symbol.h"

namespace prepqdm {

struct MappedFile;
struct SymbolTable;

// Sets *current_kind for a known directive and returns 0; -1 otherwise.
Status MatchDirective(std::string_view token, SymbolKind* current_kind);

// Definition-file-only mode: enters every listed name into `symbols`.
// `module_name` (-r, "(null)" when unset) is named in the messages.
Status LoadDefOnlySymbols(SymbolTable& symbols, Sink& console, const char* module_name, const MappedFile* def_file,
                          bool verbose);

TrackedSymbol* RecordDefSymbol(SymbolTable& symbols, Sink& console, std::string_view name,
                               SymbolKind kind, bool verbose, Status* status);

}  // namespace prepqdm
