// Running the whole program in tests: in-process (captured console, status)
// or as the built binary in a working directory (stdout, exit code).
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "host/status.h"

namespace testsupport {

struct InProcessResult {
  prepqdm::Status status = 0;
  std::string console;
};

// Runs RunPrepqdm on {"prepqdm", args...} with the console captured. The
// working directory is the process's; pass absolute paths or use ScopedCwd.
InProcessResult RunInProcess(const std::vector<std::string>& args);

struct ProcessResult {
  int exit_code = -1;  // the whole 32-bit value where the host keeps it
  std::string out;  // stdout (the program writes nothing to stderr)
  std::string err;
};

// Runs build/prepqdm with `args` in `cwd`; `env` entries are NAME=VALUE
// additions (a bare NAME removes the variable).
ProcessResult RunBinary(const std::vector<std::string>& args, const std::string& cwd,
                        const std::vector<std::string>& env = {});
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env = {});

// The text of a file that a program run by RunBinary wrote (a log, a
// dependency file), in the spelling of this build's host: when the
// programs run through a launcher (see run_program.cpp), with LF line ends
// and '/' paths.
std::string WrittenText(const std::string& path);

// Changes the working directory for the lifetime of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();

 private:
  std::string saved_;
};

}  // namespace testsupport
