// Starting another program (the toolchain archiver). The program is started
// directly with its arguments, never through a shell, so no argument is ever
// interpreted as shell text.
#pragma once
#include <string>
#include <vector>

namespace prepqdm {

// Runs `program` (a path, or a bare name looked up in PATH) with `arguments`
// after argument 0, which is `program` itself, and waits for it. Returns its exit status,
// 128 + the signal that ended it, or -1 when it cannot be started.
int RunProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace prepqdm
