// The run from start to exit, in a fixed order of stages.
#pragma once
#include "host/status.h"

namespace prepqdm {

struct RunState;

// Runs the whole program on argv (argument 0 is the program path) and
// returns the 32-bit status.
Status RunPrepqdm(RunState& run, int argc, char** argv);

void PrintUsage(RunState& run);
void PrintFailureReport(RunState& run, int argc, char** argv, Status status);

}  // namespace prepqdm
