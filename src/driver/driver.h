// The run from start to exit, in a fixed order of stages.
#pragma once
#include <string>

#include "elf/input_files.h"
#include "host/status.h"

namespace prepqdm {

struct RunState;

// Runs the whole program on argv (argument 0 is the program path) and
// returns the 32-bit status.
Status RunPrepqdm(RunState& run, int argc, char** argv);

void PrintUsage(RunState& run);
void PrintFailureReport(RunState& run, int argc, char** argv, Status status);

// The run's step for each input the command line names: LoadInput, with
// every object it registers entered into run.symbols at once (TrackAhead),
// with the -v given so far.
Status LoadInputAndEnterSymbols(RunState& run, const InputSearch& search, const std::string& token);

}  // namespace prepqdm
