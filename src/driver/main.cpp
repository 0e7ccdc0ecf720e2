// The process entry point. The run state is never destroyed: the program
// frees almost nothing before exit by design, and tearing down hundreds of
// thousands of records and thousands of mappings one by one would only slow
// the exit. Every stream is flushed (and the log closed) before _Exit.
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "driver/run_state.h"

int main(int argc, char** argv) {
  auto* run = new prepqdm::RunState;
  prepqdm::Status status = prepqdm::RunPrepqdm(*run, argc, argv);
  if (run->log.file) {
    fclose(run->log.file);
    run->log.file = nullptr;
  }
  fflush(nullptr);
  std::_Exit(prepqdm::ExitCodeFromStatus(status));
}
