// Ctrl-Break for prepqdm while its archiver runs, for the Windows host tests:
//
//   break_launcher MARKER PROGRAM ARGUMENTS...
//
// starts PROGRAM in a process group of its own, waits until the archiver has
// written MARKER (see fake_ax.cpp), sends CTRL_BREAK_EVENT to the group,
// waits for PROGRAM to end and prints both exit statuses. It exits 0 when
// prepqdm's console-control handler ran (it is what stops the archiver,
// which ignores the event itself), 77 with the reason printed when the event
// never reached the handler (prepqdm did not end, or ended and left the
// archiver running), and 1 when the run went otherwise.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/win32/wide.h"

namespace {

constexpr int kHandlerRan = 0;
constexpr int kNotDelivered = 77;
constexpr int kFailed = 1;

HANDLE output;

void Say(const std::string& line) {
  DWORD written = 0;
  const std::string text = line + "\r\n";
  WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

// The archiver's process id, the first line of its marker.
DWORD MarkerProcessId(const std::wstring& marker) {
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  char text[64] = {};
  DWORD read = 0;
  ReadFile(file, text, sizeof text - 1, &read, nullptr);
  CloseHandle(file);
  return static_cast<DWORD>(std::strtoul(text, nullptr, 10));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (argc < 3) {
    Say("usage: break_launcher MARKER PROGRAM ARGUMENTS...");
    return kFailed;
  }
  const std::wstring marker = argv[1];
  // The event goes to the program's group only, but this launcher must
  // outlive it whatever the console does.
  SetConsoleCtrlHandler(KeepRunning, TRUE);
  // Control events travel through a console: where the launcher was started
  // without one, it makes one for the program to share. The program's
  // output still goes where the launcher's goes.
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  if (AllocConsole()) Say("made a console");

  std::wstring line;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) line += L' ';
    prepqdm::AppendQuotedArgument(line, argv[i]);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = errors;
  PROCESS_INFORMATION program = {};
  if (!CreateProcessW(argv[2], line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                      &startup, &program)) {
    Say("cannot start " + prepqdm::Narrow(argv[2]) + ": error " + std::to_string(GetLastError()));
    return kFailed;
  }
  CloseHandle(program.hThread);

  // Wine takes a while to start two programs on a busy machine.
  bool running = false;
  for (int waited = 0; waited < 60000 && !running; waited += 50) {
    if (WaitForSingleObject(program.hProcess, 50) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(program.hProcess, &code);
      Say("prepqdm ended with " + Hex(code) + " before the archiver ran");
      return kFailed;
    }
    running = GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  HANDLE archiver = running ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                          MarkerProcessId(marker))
                            : nullptr;
  if (!archiver) {
    Say(running ? "cannot open the archiver's process" : "the archiver did not start within a minute");
    TerminateProcess(program.hProcess, 1);
    return kFailed;
  }
  Say("archiver running");

  auto give_up = [&](const std::string& reason) {
    Say(reason);
    TerminateProcess(program.hProcess, 1);
    TerminateProcess(archiver, 1);
    WaitForSingleObject(program.hProcess, 5000);
    WaitForSingleObject(archiver, 5000);
    return kNotDelivered;
  };
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, program.dwProcessId))
    return give_up("GenerateConsoleCtrlEvent failed (error " + std::to_string(GetLastError()) +
                   "): this console does not deliver control events");
  if (WaitForSingleObject(program.hProcess, 20000) != WAIT_OBJECT_0)
    return give_up("Ctrl-Break did not end prepqdm within 20 seconds: its console-control handler never ran");
  DWORD code = 0;
  GetExitCodeProcess(program.hProcess, &code);
  Say("prepqdm exit status " + Hex(code));
  if (WaitForSingleObject(archiver, 0) != WAIT_OBJECT_0)
    return give_up("prepqdm ended without running its console-control handler: the archiver is still running");
  GetExitCodeProcess(archiver, &code);
  Say("archiver exit status " + std::to_string(code));
  return code == 1 ? kHandlerRan : kFailed;
}
