#include "symbols/resolution.h"

#include "driver/run_state.h"

namespace prepqdm {

uint8_t ClassifySymbolName(std::optional<std::string_view>, const uint8_t*, uint32_t) {
  return 0;  // placeholder
}

Status TrackSymbolTable(RunState&, ObjectModule&, uint32_t) {
  return 0;  // placeholder
}

TrackedSymbol* TrackSymbol(RunState&, const uint8_t*, uint32_t, ObjectModule&, const uint8_t*, SymbolKind,
                           std::optional<std::string_view>) {
  return nullptr;  // placeholder
}

}  // namespace prepqdm
