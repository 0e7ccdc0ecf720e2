// The run from start to exit, in a fixed order of stages.
#pragma once
#include <optional>
#include <string>

#include "driver/option_checks.h"
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

// Whether RunThroughSelection opens the log: a run writes it, explain
// writes nothing.
enum class LogFile : bool { kNone, kWrite };

// How far RunThroughSelection got.
struct ThroughSelection {
  Status status = kOk;  // of the stage it stopped at, or of selection
  bool parsed = false;    // the command line was read and every input loaded
  // A check refused the run: its line, for the caller to print (a run prints
  // the failure report with it, explain does not). status is -1.
  std::optional<OptionFailure> failure;
  // Selection ran, whatever its status. When neither `failure` nor this is
  // set after parsing, the stage that stopped has printed everything.
  bool selected = false;
};

// The stages from the command line through selection, the same for a run
// and for qdmdump --explain: parse (loading every input and entering its
// objects), the option and output-file checks, the log (kWrite only), the
// definition and exclude files, tracking, the definition file's names in
// definition-file-only mode, and selection into run.selection. A failed
// parse has printed its message.
ThroughSelection RunThroughSelection(RunState& run, int argc, char** argv, LogFile log);

}  // namespace prepqdm
