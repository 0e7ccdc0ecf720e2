#include "driver/run_state.h"

namespace prepqdm {

RunState::~RunState() {
  if (log.file) fclose(log.file);
}

}  // namespace prepqdm
