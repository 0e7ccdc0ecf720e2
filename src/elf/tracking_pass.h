// The pass that feeds every registered object's global symbols to the symbol
// table, newest object first, skipping duplicate inputs and import stubs.
#pragma once
#include "host/status.h"

namespace prepqdm {

struct RunState;

Status TrackAllSymbols(RunState& run);

}  // namespace prepqdm
