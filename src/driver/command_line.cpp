#include "driver/command_line.h"

#include "driver/run_state.h"

namespace prepqdm {

Status ParseCommandLine(RunState&, int, char**) { return 0; }  // placeholder

}  // namespace prepqdm
