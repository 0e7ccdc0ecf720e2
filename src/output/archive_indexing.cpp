// The import library has no archive symbol index of its own; the toolchain
// archiver adds one with "ax -ts". The archiver is found in the directory
// named by TOOLCHAIN_ROOT (a Cygwin-style "/cygdrive/X/rest" value is turned
// into "X:/rest" first), or through PATH when the variable is unset. It is
// started directly, without a shell, so the library path reaches it as one
// argument whatever characters it holds. Only its exit status matters, and a
// failure is reported without changing the run's result.
#include "output/archive_indexing.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/run_state.h"

extern char** environ;

namespace prepqdm {

ArchiverCommand BuildArchiverCommand(const char* toolchain_root, const std::string& library_path) {
  ArchiverCommand command;
  std::string program_part;
  if (toolchain_root) {
    std::string root = toolchain_root;
    static constexpr char kCygdrive[] = "/cygdrive/";
    constexpr size_t kCygdriveLength = sizeof kCygdrive - 1;
    if (root.compare(0, kCygdriveLength, kCygdrive) == 0) {
      std::string rest = root.substr(kCygdriveLength);
      root = rest.empty() ? std::string() : rest.substr(0, 1) + ":" + rest.substr(1);
    }
    command.program = root + "/ax";
    program_part = command.program + " -ts";
  } else {
    command.program = "ax";
    program_part = "ax -ts";
  }
  command.command_line = program_part + " \"" + library_path + "\"";
  return command;
}

int RunArchiver(const std::string& program, const std::string& library_path) {
  std::string arg0 = program, option = "-ts", path = library_path;
  char* argv[] = {arg0.data(), option.data(), path.data(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  return WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : -1;
}

void IndexImportLibrary(RunState& run) {
  if (!run.options.import_library_path) return;
  const std::string& path = *run.options.import_library_path;
  ArchiverCommand command = BuildArchiverCommand(getenv("TOOLCHAIN_ROOT"), path);
  if (run.options.verbose) Print(run.console, "exec: %s\n", command.command_line.c_str());
  // The archiver shares the console; what was printed so far comes first.
  if (run.console.file) fflush(run.console.file);
  int status = RunArchiver(command.program, path);
  if (status != 0) Print(run.console, "FAILED: ax -ts %s\nreturned %d\n", path.c_str(), status);
}

}  // namespace prepqdm
