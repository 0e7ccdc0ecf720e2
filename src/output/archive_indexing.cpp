// The import library has no archive symbol index of its own; the toolchain
// archiver adds one with "ax -ts", run on the finished library before it is
// put in place, so that a library the archiver did not index never stands
// at the target. The archiver is found in the directory
// named by TOOLCHAIN_ROOT (a Cygwin-style "/cygdrive/X/rest" value is turned
// into "X:/rest" first), or through PATH when the variable is unset. It is
// started directly, without a shell, so the library path reaches it as one
// argument whatever characters it holds. Only its exit status matters; a
// library the archiver did not index is not a usable library, so a failure
// fails the run.
#include "output/archive_indexing.h"

#include <cstdio>
#include <optional>

#include "host/environment.h"
#include "host/process.h"

namespace prepqdm {

ArchiverCommand BuildArchiverCommand(const char* toolchain_root, const std::string& library_path) {
  ArchiverCommand command;
  std::string program_part;
  if (toolchain_root) {
    std::string root = toolchain_root;
    static constexpr char kCygdrive[] = "/cygdrive/";
    constexpr size_t kCygdriveLength = sizeof kCygdrive - 1;
    const bool converted = root.compare(0, kCygdriveLength, kCygdrive) == 0;
    if (converted) {
      std::string rest = root.substr(kCygdriveLength);
      root = rest.empty() ? std::string() : rest.substr(0, 1) + ":" + rest.substr(1);
    }
    command.program = root + (converted ? '/' : ToolchainSeparator(root)) + "ax";
    program_part = command.program + " -ts";
  } else {
    command.program = "ax";
    program_part = "ax -ts";
  }
  command.command_line = program_part + " \"" + library_path + "\"";
  return command;
}

int IndexImportLibrary(const std::string& library_path, const std::string& staged_path, bool verbose,
                       Sink& console) {
  const std::optional<std::string> root = EnvironmentValue("TOOLCHAIN_ROOT");
  ArchiverCommand command = BuildArchiverCommand(root ? root->c_str() : nullptr, library_path);
  if (verbose) Print(console, "exec: %s\n", command.command_line.c_str());
  // The archiver shares the console; what was printed so far comes first.
  if (console.file) fflush(console.file);
  ProgramRun run = RunProgram(command.program, {"-ts", staged_path});
  if (run.status == 0) return 0;
  Print(console, "FAILED: ax -ts %s\nreturned %d\n", library_path.c_str(), run.status);
  if (run.start_error != 0) PrintNote(console, command.program, run.start_error);
  return run.status;
}

}  // namespace prepqdm
