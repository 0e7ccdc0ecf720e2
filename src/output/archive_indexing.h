// Runs the toolchain archiver ("ax -ts") on the finished import library.
#pragma once
#include <string>

#include "host/output.h"
#include "host/status.h"

namespace prepqdm {

struct ArchiverCommand {
  std::string program;       // what is started: a path, or "ax" looked up in PATH
  std::string command_line;  // the command as shown under -v
};

// The archiver command for the library at `library_path` (as typed), with
// the archiver located through `toolchain_root` (TOOLCHAIN_ROOT; null when
// unset).
ArchiverCommand BuildArchiverCommand(const char* toolchain_root, const std::string& library_path);

// Runs the archiver on `staged_path`, the finished library before it is put
// in place; messages name the library by `library_path`, as typed. Returns
// 0, or after printing the failure its exit status (128 + the signal that
// ended it), or -1 when it could not be started, with a note saying why.
int IndexImportLibrary(const std::string& library_path, const std::string& staged_path, bool verbose,
                       Sink& console);

}  // namespace prepqdm
