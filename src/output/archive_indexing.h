// Runs the toolchain archiver ("ax -ts") on the finished import library.
#pragma once
#include <string>
#include <vector>

namespace prepqdm {

struct RunState;

void IndexImportLibrary(RunState& run);

}  // namespace prepqdm
