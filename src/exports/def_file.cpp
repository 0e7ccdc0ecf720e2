#include "exports/def_file.h"

#include "driver/run_state.h"

namespace prepqdm {

Status MatchDirective(const uint8_t*, uint32_t, SymbolKind*) { return -1; }
Status LoadDefOnlySymbols(RunState&, MappedFile*) { return 0; }  // placeholder
TrackedSymbol* RecordDefSymbol(RunState&, const uint8_t*, uint32_t, SymbolKind, Status* status) {
  *status = 0;
  return nullptr;  // placeholder
}

}  // namespace prepqdm
