// The pass that feeds every registered object's global symbols to the symbol
// table, newest object first, skipping duplicate inputs and import stubs.
#pragma once
#include "host/output.h"
#include "host/status.h"

namespace prepqdm {

struct InputRegistry;
struct SymbolTree;

// Enters the defined globals of every object in `registry` into `tree`.
// Returns 0, or a non-zero status after its message.
Status TrackAllSymbols(InputRegistry& registry, SymbolTree& tree, Sink& console);

}  // namespace prepqdm
