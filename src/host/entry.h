// The process entry belongs to the host: it takes the arguments in the
// host's form (wide characters on Windows), hands them on as UTF-8, and turns
// the returned 32-bit status into the host's exit status. Each program
// defines ProgramMain.
#pragma once
#include "host/status.h"

namespace prepqdm {

Status ProgramMain(int argc, char** argv);

}  // namespace prepqdm
