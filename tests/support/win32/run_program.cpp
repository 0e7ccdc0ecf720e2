// Runs a program on Windows as the POSIX test support does: stdout and
// stderr to files, a working directory, environment additions. The exit
// code is the full 32-bit value from GetExitCodeProcess.
#include <windows.h>

#include <stdexcept>

#include "host/win32/wide.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

namespace testsupport {

namespace {

HANDLE Inheritable(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env) {
  TempDir capture;
  std::string out_path = capture.File("stdout");
  std::string err_path = capture.File("stderr");

  // The environment block: this process's, with the additions applied.
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* e = block; *e; e += wcslen(e) + 1) entries.emplace_back(e);
  FreeEnvironmentStringsW(block);
  for (const std::string& add : env) {
    const std::wstring wide = prepqdm::Widen(add);
    const std::wstring name = wide.substr(0, wide.find(L'='));
    std::erase_if(entries, [&](const std::wstring& entry) {
      return CompareStringOrdinal(entry.c_str(), static_cast<int>(std::min(entry.find(L'='), entry.size())),
                                  name.c_str(), static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
    });
    if (wide.find(L'=') != std::wstring::npos) entries.push_back(wide);
  }
  std::wstring environment;
  for (const std::wstring& entry : entries) environment += entry + L'\0';
  environment += L'\0';

  std::wstring line;
  prepqdm::AppendQuotedArgument(line, prepqdm::Widen(program));
  for (const std::string& arg : args) {
    line += L' ';
    prepqdm::AppendQuotedArgument(line, prepqdm::Widen(arg));
  }
  HANDLE in = Inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = Inheritable(prepqdm::Widen(out_path), GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = Inheritable(prepqdm::Widen(err_path), GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  const std::wstring directory = prepqdm::Widen(cwd);
  BOOL started = CreateProcessW(prepqdm::Widen(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                CREATE_UNICODE_ENVIRONMENT, environment.data(), directory.c_str(), &startup, &process);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) throw std::runtime_error("cannot start " + program);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  ProcessResult result;
  result.exit_code = static_cast<int>(code);
  std::vector<uint8_t> bytes = ReadFile(out_path);
  result.out.assign(bytes.begin(), bytes.end());
  bytes = ReadFile(err_path);
  result.err.assign(bytes.begin(), bytes.end());
  return result;
}

std::string WrittenText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace testsupport
