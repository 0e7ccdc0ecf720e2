#include "host/process.h"

#include <windows.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "host/environment.h"
#include "host/fatal_cleanup.h"
#include "host/paths.h"
#include "host/win32/wide.h"

namespace prepqdm {

namespace {

// Whether `path` names a file (not a folder) that could be started.
bool IsProgramFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The folders of PATH in order, as cmd.exe reads it: entries between ';',
// a quoted part may hold ';' and loses its quotes, empty entries name
// nothing.
std::vector<std::wstring> PathFolders() {
  std::vector<std::wstring> folders;
  const std::optional<std::string> path = EnvironmentValue("PATH");
  if (!path) return folders;
  std::wstring folder;
  bool quoted = false;
  for (wchar_t c : Widen(*path) + L';') {
    if (c == L'"') {
      quoted = !quoted;
    } else if (c == L';' && !quoted) {
      if (!folder.empty()) folders.push_back(folder);
      folder.clear();
    } else {
      folder += c;
    }
  }
  return folders;
}

// The program file, ".exe" added to a name without an extension. A name
// with a directory part is taken as it is. A bare name is searched where
// "cmd /c ax" finds it, the working directory first and then each PATH
// entry in order; not where CreateProcess would, which looks in this
// program's own folder first and so would prefer the ax.exe shipped beside
// prepqdm.exe to the toolchain's.
std::wstring FindProgram(const std::string& program, DWORD* error) {
  std::wstring wide = Widen(program);
  const std::string_view name = FileNamePart(program);
  if (name.find('.') == std::string_view::npos) wide += L".exe";
  const bool has_directory = name.size() != program.size() || program.find(':') != std::string::npos;
  if (has_directory) {
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
      *error = GetLastError();
      return std::wstring();
    }
    return wide;
  }
  // A bare file name given to CreateProcess names the working directory's.
  if (IsProgramFile(wide)) return wide;
  for (const std::wstring& folder : PathFolders()) {
    const bool separated = folder.back() == L'\\' || folder.back() == L'/';
    const std::wstring candidate = folder + (separated ? L"" : L"\\") + wide;
    if (IsProgramFile(candidate)) return candidate;
  }
  *error = ERROR_FILE_NOT_FOUND;
  return std::wstring();
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
