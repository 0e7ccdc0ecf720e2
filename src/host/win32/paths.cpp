#include "host/paths.h"

#include <windows.h>

#include <vector>

#include "host/mapped_file.h"
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

namespace {

// The system's full path of `wide`, however long: a first attempt in the
// classic buffer, which holds nearly every path, and only a longer one asks
// again with the size the system said.
std::optional<std::wstring> SystemFullPath(const std::wstring& wide) {
  wchar_t buffer[kMaxPath];
  DWORD length = GetFullPathNameW(wide.c_str(), kMaxPath, buffer, nullptr);
  if (length == 0) return std::nullopt;
  if (length < kMaxPath) return std::wstring(buffer, length);
  std::vector<wchar_t> larger(length);
  const DWORD needed = length;
  length = GetFullPathNameW(wide.c_str(), needed, larger.data(), nullptr);
  if (length == 0 || length >= needed) return std::nullopt;
  return std::wstring(larger.data(), length);
}

std::wstring WideName(std::string_view name) { return Widen(name.empty() ? std::string_view(".") : name); }

}  // namespace

// The system resolves the name. With the classic limit the buffer has
// exactly `limit` characters, so a longer result fails this attempt; without
// one it is sized as the system asks.
std::optional<std::string> FullPath(std::string_view name, size_t limit) {
  const std::wstring wide = WideName(name);
  if (limit <= kMaxPath) {
    wchar_t buffer[kMaxPath] = {};
    DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(limit), buffer, nullptr);
    if (length == 0 || length >= limit) return std::nullopt;
    return Narrow(std::wstring_view(buffer, length));
  }
  std::optional<std::wstring> full = SystemFullPath(wide);
  // Measured in wide characters, as the classic limit is.
  if (!full || full->size() >= limit) return std::nullopt;
  return Narrow(*full);
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  // No access asked for and every sharing allowed: this only looks.
  HANDLE handle = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info)) {
    IdentityFromInformation(info, &identity.device, &identity.inode);
    identity.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  CloseHandle(handle);
  return identity;
}

// Windows file names ignore case, so two spellings of one path are one
// file even before it exists; two existing files are compared by identity,
// which also sees through links and other names of the same file.
bool SameFile(const std::string& a, const std::string& b) {
  return SameFile(a, IdentifyFile(a), b, IdentifyFile(b));
}

namespace {

// The same full path, letter case ignored: compared as the system gives
// them, without a round trip through UTF-8.
bool SamePath(const std::string& a, const std::string& b) {
  const std::optional<std::wstring> full_a = SystemFullPath(WideName(a));
  const std::optional<std::wstring> full_b = SystemFullPath(WideName(b));
  return full_a && full_b &&
         CompareStringOrdinal(full_a->data(), static_cast<int>(full_a->size()), full_b->data(),
                              static_cast<int>(full_b->size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool SameFile(const std::string& a, const std::optional<FileIdentity>& x, const std::string& b,
              const std::optional<FileIdentity>& y) {
  if (x && y && x->regular && y->regular && x->device == y->device && x->inode == y->inode) return true;
  return SamePath(a, b);
}

// A mapped file is a regular one whose index the mapping took; its volume
// is asked for only when the indexes agree, from the handle the mapping holds.
bool SameFile(const MappedFile& a, const std::string& b, const std::optional<FileIdentity>& y) {
  if (!a.file_backed) return SameFile(a.path, IdentifyFile(a.path), b, y);
  if (y && y->regular && MappedFileHasIdentity(a, y->device, y->inode)) return true;
  return SamePath(a.path, b);
}

}  // namespace prepqdm
