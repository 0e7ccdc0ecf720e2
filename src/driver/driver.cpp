#include "driver/driver.h"

#include "driver/run_state.h"

namespace prepqdm {

Status RunPrepqdm(RunState&, int, char**) { return 0; }  // placeholder
void PrintUsage(RunState&) {}
void PrintFailureReport(RunState&, int, char**, Status) {}

}  // namespace prepqdm
