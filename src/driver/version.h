// Versions: the program's own (from the build) and the SDK version and tool
// version that the banner names.
#pragma once
#include <string>

namespace prepqdm {

constexpr int kSdkMajor = 2;
constexpr int kSdkMinor = 11;
constexpr int kSdkPatch = 3;
constexpr char kToolVersion[] = "v1.0";

// This build's version, as the build names it (CMake's project VERSION).
const char* ProgramVersion();

// "PROGRAM VERSION (Brindle OS SDK Version 2.11.03)" and a line end.
std::string VersionLine(const char* program);

// Whether an argument (not a response-file token) is exactly --version, or
// exactly --help.
bool AsksForVersion(int argc, char** argv);
bool AsksForHelp(int argc, char** argv);

}  // namespace prepqdm
