// The process entry on Windows: the wide-character arguments go on as
// UTF-8, and the 32-bit status becomes the exit status whole. Critical-error
// dialogs (a drive that is not ready) are suppressed first: a build tool
// must fail, not wait for a click.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/entry.h"
#include "host/win32/wide.h"

int wmain(int argc, wchar_t** argv) {
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
  std::vector<std::string> storage;
  storage.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) storage.push_back(prepqdm::Narrow(argv[i]));
  std::vector<char*> arguments;
  for (std::string& argument : storage) arguments.push_back(argument.data());
  arguments.push_back(nullptr);
  prepqdm::Status status = prepqdm::ProgramMain(argc, arguments.data());
  std::fflush(nullptr);
  std::_Exit(prepqdm::ExitCodeFromStatus(status));
}
