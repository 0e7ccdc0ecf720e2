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

namespace {

bool HasArgument(int argc, char** argv, const char* wanted) {
  for (int i = 1; i < argc && argv; ++i)
    if (argv[i] && std::strcmp(argv[i], wanted) == 0) return true;
  return false;
}

}  // namespace

bool AsksForVersion(int argc, char** argv) { return HasArgument(argc, argv, "--version"); }

bool AsksForHelp(int argc, char** argv) { return HasArgument(argc, argv, "--help"); }

}  // namespace prepqdm
