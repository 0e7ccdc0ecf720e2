// prepqdm's program entry. The run state is never destroyed: the program
// frees almost nothing before exit by design, and tearing down hundreds of
// thousands of records and thousands of mappings one by one would only slow
// the exit. The log is closed here; the host's entry flushes the rest.
#include <cstdio>

#include "driver/driver.h"
#include "driver/run_state.h"
#include "host/entry.h"

prepqdm::Status prepqdm::ProgramMain(int argc, char** argv) {
  auto* run = new RunState;
  Status status = RunPrepqdm(*run, argc, argv);
  if (run->log.file) {
    std::fclose(run->log.file);
    run->log.file = nullptr;
  }
  return status;
}
