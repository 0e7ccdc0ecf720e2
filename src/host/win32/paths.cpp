#include "host/paths.h"

#include <windows.h>

#include <vector>

#include "host/win32/wide.h"

namespace prepqdm {

// Inputs keep the classic buffer: a longer full path fails that attempt.
const size_t kInputPathLimit = kMaxPath;

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

std::string SlashSeparated(std::string_view path) {
  std::string slashed(path);
  for (char& c : slashed) c = c == '\\' ? '/' : c;
  return slashed;
}

// The system takes what FullPath gives as it is.
std::string OpenableName(const std::string& path) { return path; }

// The system resolves the name. With the classic limit the buffer has
// exactly `limit` characters, so a longer result fails this attempt; without
// one it is sized as the system asks.
std::optional<std::string> FullPath(std::string_view name, size_t limit) {
  const std::wstring wide = Widen(name.empty() ? std::string_view(".") : name);
  if (limit <= kMaxPath) {
    wchar_t buffer[kMaxPath] = {};
    DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(limit), buffer, nullptr);
    if (length == 0 || length >= limit) return std::nullopt;
    return Narrow(std::wstring_view(buffer, length));
  }
  DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::nullopt;
  std::vector<wchar_t> buffer(needed);
  DWORD length = GetFullPathNameW(wide.c_str(), needed, buffer.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  // Measured in wide characters, as the classic limit is.
  if (length >= limit) return std::nullopt;
  return Narrow(std::wstring_view(buffer.data(), length));
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  // No access asked for and every sharing allowed: this only looks.
  HANDLE handle = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION info;
  const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
  if (disk && HandleIdentity(handle, &identity.device, &identity.inode) &&
      GetFileInformationByHandle(handle, &info))
    identity.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  CloseHandle(handle);
  return identity;
}

namespace {

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  const std::wstring x = Widen(a);
  const std::wstring y = Widen(b);
  return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()), TRUE) ==
         CSTR_EQUAL;
}

}  // namespace

// Windows file names ignore case, so two spellings of one path are one
// file even before it exists; two existing files are compared by identity,
// which also sees through links and other names of the same file.
bool SameFile(const std::string& a, const std::string& b) {
  return SameFile(a, IdentifyFile(a), b, IdentifyFile(b));
}

bool SameFile(const std::string& a, const std::optional<FileIdentity>& x, const std::string& b,
              const std::optional<FileIdentity>& y) {
  if (x && y && x->regular && y->regular && x->device == y->device && x->inode == y->inode) return true;
  std::optional<std::string> full_a = FullPath(a, SIZE_MAX);
  std::optional<std::string> full_b = FullPath(b, SIZE_MAX);
  return full_a && full_b && EqualIgnoringCase(*full_a, *full_b);
}

}  // namespace prepqdm
