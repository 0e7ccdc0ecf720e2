#include "host/process.h"

#include <windows.h>

#include <cerrno>

#include "host/fatal_cleanup.h"
#include "host/paths.h"
#include "host/win32/wide.h"

namespace prepqdm {

namespace {

// The program file: a name with a directory part is taken as it is, a bare
// name is searched where CreateProcess searches (this program's directory,
// the working directory, the system directories, PATH); either way ".exe"
// is added to a name without an extension.
std::wstring FindProgram(const std::string& program, DWORD* error) {
  std::wstring wide = Widen(program);
  const std::string_view name = FileNamePart(program);
  const bool has_directory = name.size() != program.size() || program.find(':') != std::string::npos;
  if (has_directory) {
    if (name.find('.') == std::string_view::npos) wide += L".exe";
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      *error = GetLastError();
      return std::wstring();
    }
    return wide;
  }
  DWORD needed = SearchPathW(nullptr, wide.c_str(), L".exe", 0, nullptr, nullptr);
  if (needed == 0) {
    *error = ERROR_FILE_NOT_FOUND;
    return std::wstring();
  }
  std::wstring found(needed, L'\0');
  DWORD length = SearchPathW(nullptr, wide.c_str(), L".exe", needed, found.data(), nullptr);
  if (length == 0 || length >= needed) {
    *error = ERROR_FILE_NOT_FOUND;
    return std::wstring();
  }
  found.resize(length);
  return found;
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  ProgramRun run;
  InstallFatalSignalCleanup();
  DWORD error = 0;
  const std::wstring application = FindProgram(program, &error);
  if (application.empty()) {
    run.start_error = ErrnoFromSystemError(error);
    return run;
  }
  // Started as a program with its arguments, never through cmd.exe, so no
  // text of theirs is interpreted.
  std::wstring line;
  AppendQuotedArgument(line, Widen(program));
  for (const std::string& argument : arguments) {
    line += L' ';
    AppendQuotedArgument(line, Widen(argument));
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  {
    // The console-control handler waits until the archiver is listed, so a
    // Ctrl-C in between cannot lose it.
    FatalSignalsHeld held;
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
      run.start_error = ErrnoFromSystemError(GetLastError());
      return run;
    }
    TrackChild(reinterpret_cast<int64_t>(process.hProcess));
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  const bool known = GetExitCodeProcess(process.hProcess, &code) != 0;
  ForgetChild();
  CloseHandle(process.hProcess);
  if (known) run.status = static_cast<int>(code);
  return run;
}

}  // namespace prepqdm
