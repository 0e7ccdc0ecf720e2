#include "host/status.h"

namespace prepqdm {

int ExitCodeFromStatus(Status status) {
  int low = static_cast<int>(static_cast<uint32_t>(status) & 0xFFu);
  if (status != 0 && low == 0) return 1;
  return low;
}

}  // namespace prepqdm
