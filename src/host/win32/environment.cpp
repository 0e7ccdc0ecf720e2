#include "host/environment.h"

#include <windows.h>

#include <cstdlib>

#include "host/win32/wide.h"

namespace prepqdm {

std::optional<std::string> EnvironmentValue(const char* name) {
  const wchar_t* value = _wgetenv(Widen(name).c_str());
  if (!value) return std::nullopt;
  return Narrow(value);
}

std::string ResponseFileText(std::string_view bytes) {
  if (bytes.empty()) return std::string();
  int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), length);
  return Narrow(wide);
}

// "abc/tools" was written with forward slashes, "D:\sdk" (and "D:/sdk",
// whose fourth character is not a slash) gets a backslash.
char ToolchainSeparator(std::string_view root) { return root.size() > 3 && root[3] == '/' ? '/' : '\\'; }

}  // namespace prepqdm
