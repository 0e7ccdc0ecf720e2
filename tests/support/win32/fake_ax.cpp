// An archiver for the Windows host tests, run as ax.exe. It leaves a marker
// file (named by AX_MARKER) holding its process id and its own path, so a
// test sees which ax.exe was started and that it is running, then sleeps
// AX_SLEEP_MS milliseconds (none when unset) and exits 0. Console control
// events do not end it: while it sleeps only prepqdm's cleanup stops it
// (with exit code 1), so its end shows that the cleanup ran.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

std::wstring Variable(const wchar_t* name) {
  std::wstring value(32767, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
  return value;
}

}  // namespace

int wmain() {
  SetConsoleCtrlHandler(KeepRunning, TRUE);
  const std::wstring marker = Variable(L"AX_MARKER");
  if (!marker.empty()) {
    std::wstring self(32767, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::wstring text = std::to_wstring(GetCurrentProcessId()) + L"\n" + self;
    std::string utf8(4 * text.size(), '\0');
    utf8.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                        utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr)));
    // Written aside and renamed, so the marker is never seen half written.
    const std::wstring partial = marker + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    const bool wrote = WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
    if (!wrote || !MoveFileExW(partial.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING)) return 2;
  }
  const std::wstring sleep = Variable(L"AX_SLEEP_MS");
  if (!sleep.empty()) Sleep(static_cast<DWORD>(std::wcstoul(sleep.c_str(), nullptr, 10)));
  return 0;
}
