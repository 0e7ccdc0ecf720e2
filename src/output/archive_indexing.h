// Runs the toolchain archiver ("ax -ts") on the finished import library.
#pragma once
#include <string>
#include <vector>

namespace prepqdm {

struct RunState;

struct ArchiverCommand {
  std::string program;       // what is started: a path, or "ax" looked up in PATH
  std::string command_line;  // the command as shown under -v
};

// The archiver command for the library at `library_path` (as typed), with
// the archiver located through `toolchain_root` (TOOLCHAIN_ROOT; null when
// unset).
ArchiverCommand BuildArchiverCommand(const char* toolchain_root, const std::string& library_path);

// Starts `program` with "-ts" and `library_path` as its arguments, without a
// shell, and waits for it: its exit status, 128 + the signal that ended it,
// or -1 when it cannot be started.
int RunArchiver(const std::string& program, const std::string& library_path);

void IndexImportLibrary(RunState& run);

}  // namespace prepqdm
