// The process entry: the arguments come as bytes and go on as they are. The
// exit status keeps the low byte of the 32-bit status (see status.cpp).
// Every stream is flushed before _Exit, which skips the teardown of what the
// program deliberately never frees.
#include <cstdio>
#include <cstdlib>

#include "host/entry.h"

int main(int argc, char** argv) {
  prepqdm::Status status = prepqdm::ProgramMain(argc, argv);
  std::fflush(nullptr);
  std::_Exit(prepqdm::ExitCodeFromStatus(status));
}
