#include "host/staged_file.h"

#include <windows.h>

#include <cerrno>
#include <utility>

#include "host/fatal_cleanup.h"
#include "host/win32/wide.h"

namespace prepqdm {

namespace {

// The directory part of `path` with its separator (empty for a bare name)
// and the name part.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  size_t slash = path.find_last_of("/\\:");
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Where a special target's bytes wait: a device has no directory to take a
// file.
std::string SystemTemporaryDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return std::string();
  return Narrow(std::wstring_view(buffer, length));
}

struct TargetState {
  bool exists = false;
  bool disk_file = false;  // a file on a disk (not a device such as NUL)
  bool read_only = false;
  bool directory = false;
};

TargetState InspectTarget(const std::string& target) {
  TargetState state;
  const std::wstring wide = Widen(target);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return state;
  state.exists = true;
  state.disk_file = GetFileType(handle) == FILE_TYPE_DISK;
  CloseHandle(handle);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    state.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    state.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  return state;
}

bool Identify(const std::string& path, uint64_t* volume, uint64_t* index) {
  HANDLE handle = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = HandleIdentity(handle, volume, index);
  CloseHandle(handle);
  return known;
}

}  // namespace

int StagedFile::Open(const Mappings& mappings, const std::string& target) {
  InstallFatalSignalCleanup();
  target_ = target;
  const TargetState state = InspectTarget(target);
  if (state.exists && IsMappedByThisRun(mappings, target)) return EBUSY;
  if (state.directory) return EISDIR;
  auto [directory, name] = SplitPath(target);
  if (state.exists && !state.disk_file) {
    errno = 0;
    special_ = _wfopen(Widen(target).c_str(), L"wb");
    if (!special_) return errno != 0 ? errno : EIO;
    return CreateTemporary(SystemTemporaryDirectory(), name);
  }
  // What opening the target for writing would refuse is refused still.
  if (state.exists && state.read_only) return EACCES;
  return CreateTemporary(directory, name);
}

int StagedFile::CreateTemporary(const std::string& directory, const std::string& name) {
  for (unsigned attempt = 0;; ++attempt) {
    std::string candidate = directory + TemporaryName(name, GetCurrentProcessId(), attempt);
    const std::wstring wide = Widen(candidate);
    FatalSignalsHeld held;
    // Created new, so no other file is ever taken over; then opened as a
    // stream in binary mode.
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 100) continue;
      return ErrnoFromSystemError(error);
    }
    CloseHandle(handle);
    errno = 0;
    FILE* stream = _wfopen(wide.c_str(), L"wb");
    if (!stream) {
      int error = errno != 0 ? errno : EIO;
      DeleteFileW(wide.c_str());
      return error;
    }
    Adopt(stream, std::move(candidate));
    return 0;
  }
}

int StagedFile::Commit() {
  if (int error = Close()) return error;
  if (special_) {
    committed_ = true;
    return 0;
  }
  const std::wstring from = Widen(temporary_);
  const std::wstring to = Widen(target_);
  FatalSignalsHeld held;
  // The identity is the temporary file's (a program run on it may have
  // replaced it), taken before the move: after it, another run's file may
  // already stand at the target.
  uint64_t volume = 0, index = 0;
  const bool identified = Identify(temporary_, &volume, &index);
  // A target that another process holds open (a virus scanner, an indexer,
  // a linker reading it) cannot be replaced: wait a little for it to let
  // go, then fail as a target that cannot be opened.
  bool moved = false;
  DWORD error = 0;
  for (int attempt = 0; attempt < 20 && !moved; ++attempt) {
    moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (moved) break;
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) break;
    Sleep(50);
  }
  if (!moved) return ErrnoFromSystemError(error) == EBUSY ? EACCES : ErrnoFromSystemError(error);
  ForgetTemporaryFile(temporary_.c_str());
  temporary_.clear();
  committed_ = true;
  if (identified) {
    device_ = volume;
    inode_ = index;
    TrackCommittedFile(target_.c_str(), device_, inode_);
  }
  return 0;
}

void StagedFile::RemoveCommitted() {
  if (!committed_) return;
  if (special_ || !temporary_.empty()) {
    // A special target not yet copied to: nothing was put in place.
    committed_ = false;
    Discard();
    return;
  }
  uint64_t volume = 0, index = 0;
  if (Identify(target_, &volume, &index) && volume == device_ && index == inode_) DeleteFileW(Widen(target_).c_str());
  ForgetCommittedFile(target_.c_str());
  committed_ = false;
}

int RemoveFile(const std::string& path) {
  const std::wstring wide = Widen(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ErrnoFromSystemError(GetLastError());
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EPERM;
  return DeleteFileW(wide.c_str()) ? 0 : ErrnoFromSystemError(GetLastError());
}

}  // namespace prepqdm
