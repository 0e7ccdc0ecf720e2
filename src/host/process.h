// Starting another program (the toolchain archiver). The program is started
// directly with its arguments, never through a shell, so no argument is ever
// interpreted as shell text. While it runs, a fatal signal to this program
// stops it too.
#pragma once
#include <string>
#include <vector>

namespace prepqdm {

struct ProgramRun {
  // Its exit status, 128 + the signal that ended it, or -1 when it could not
  // be started.
  int status = -1;
  // Why it could not be started (an errno value), 0 when it was.
  int start_error = 0;
};

// Runs `program` (a path, or a bare name looked up in PATH; on Windows in the
// working directory first, as cmd.exe looks) with `arguments` after
// argument 0, which is `program` itself, and waits for it.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace prepqdm
