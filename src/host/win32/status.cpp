#include "host/status.h"

namespace prepqdm {

// A Windows exit status is 32 bits wide: the status goes out whole.
int ExitCodeFromStatus(Status status) { return status; }

}  // namespace prepqdm
