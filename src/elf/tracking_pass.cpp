#include "elf/tracking_pass.h"

#include "driver/run_state.h"

namespace prepqdm {

Status TrackAllSymbols(RunState& run) {
  (void)run;
  return 0;  // placeholder
}

}  // namespace prepqdm
