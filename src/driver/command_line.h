// Command-line parsing: response files, the pre-scan for -o and -L, the main
// scan of options and inputs, and the mapping and classification of inputs.
#pragma once
#include "host/status.h"

namespace prepqdm {

struct RunState;

Status ParseCommandLine(RunState& run, int argc, char** argv);

}  // namespace prepqdm
