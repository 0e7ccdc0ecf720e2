#include "host/commit_lock.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "host/win32/wide.h"

namespace prepqdm {

namespace {

// The directory part of `path` as given: "." for a bare name.
std::wstring DirectoryPart(const std::string& path) {
  size_t slash = path.find_last_of("/\\:");
  if (slash == std::string::npos) return L".";
  if (path[slash] == ':') return Widen(path.substr(0, slash + 1)) + L".";
  return Widen(path.substr(0, slash == 0 ? 1 : slash + 1));
}

// A name for the directory's lock that every run forms alike: a hash of its
// full path, upper-cased as the file system compares names.
std::wstring LockName(const std::string& target) {
  const std::wstring directory = DirectoryPart(target);
  DWORD needed = GetFullPathNameW(directory.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(directory.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::wstring();
  full.resize(length);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (wchar_t c : full) {
    hash ^= static_cast<uint16_t>(c == L'/' ? L'\\' : c);
    hash *= 1099511628211ull;
  }
  wchar_t name[64];
  swprintf(name, 64, L"Local\\prepqdm-commit-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

CommitLock::CommitLock(const std::vector<std::string>& targets) {
  std::vector<std::wstring> names;
  for (const std::string& target : targets) {
    std::wstring name = LockName(target);
    if (!name.empty()) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::wstring& name : names) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex) continue;
    // A run that died holding the lock leaves it abandoned: it is ours now.
    const DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      held_.push_back(reinterpret_cast<int64_t>(mutex));
    } else {
      CloseHandle(mutex);
    }
  }
}

CommitLock::~CommitLock() {
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
    HANDLE mutex = reinterpret_cast<HANDLE>(*it);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
}

}  // namespace prepqdm
