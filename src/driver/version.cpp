#include "driver/version.h"

#include <cstring>

#include "host/output.h"

#ifndef PREPQDM_VERSION
#define PREPQDM_VERSION "unknown"
#endif

namespace prepqdm {

const char* ProgramVersion() { return PREPQDM_VERSION; }

std::string VersionLine(const char* program) {
  return Format("%s %s (Brindle OS SDK Version %d.%02d.%02d)\n", program, ProgramVersion(), kSdkMajor, kSdkMinor,
                kSdkPatch);
}

bool AsksForVersion(int argc, char** argv) {
  for (int i = 1; i < argc && argv; ++i)
    if (argv[i] && std::strcmp(argv[i], "--version") == 0) return true;
  return false;
}

}  // namespace prepqdm
