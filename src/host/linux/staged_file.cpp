#include "host/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "host/fatal_cleanup.h"
#include "host/paths.h"

namespace prepqdm {

namespace {

// The directory part of `path` with its '/' (empty for a bare name, so the
// name stays relative however long the working directory's path is) and the
// name part.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Where a special target's bytes wait: its own directory may not take a file.
std::string SystemTemporaryDirectory() {
  const char* directory = std::getenv("TMPDIR");
  std::string result = directory && *directory ? directory : "/tmp";
  if (result.back() != '/') result += '/';
  return result;
}

bool IsMapped(const Mappings& mappings, const struct stat& st) {
  for (const MappedFile* file : mappings.live)
    if (file->device == static_cast<uint64_t>(st.st_dev) && file->inode == static_cast<uint64_t>(st.st_ino))
      return true;
  return false;
}

}  // namespace

int StagedFile::Open(const Mappings& mappings, const std::string& target) {
  InstallFatalSignalCleanup();
  // A full path too long for one system call is used by its name relative
  // to the working directory.
  target_ = OpenableName(target);
  struct stat st;
  const bool exists = stat(target_.c_str(), &st) == 0;
  // Windows refuses to open a file that is mapped; so does this program.
  if (exists && IsMapped(mappings, st)) return EBUSY;
  auto [directory, name] = SplitPath(target_);
  if (exists && !S_ISREG(st.st_mode)) {
    errno = 0;
    special_ = fopen(target_.c_str(), "wb");
    if (!special_) return errno != 0 ? errno : EIO;
    return CreateTemporary(SystemTemporaryDirectory(), name);
  }
  // What opening the target for writing would refuse is refused still.
  if (exists && access(target_.c_str(), W_OK) != 0) return errno != 0 ? errno : EACCES;
  return CreateTemporary(directory, name);
}

int StagedFile::CreateTemporary(const std::string& directory, const std::string& name) {
  for (unsigned attempt = 0;; ++attempt) {
    std::string candidate = directory + TemporaryName(name, static_cast<uint64_t>(getpid()), attempt);
    FatalSignalsHeld held;
    int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST && attempt < 100) continue;
      return errno != 0 ? errno : EIO;
    }
    FILE* stream = fdopen(fd, "wb");
    if (!stream) {
      int error = errno;
      close(fd);
      unlink(candidate.c_str());
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
  FatalSignalsHeld held;
  // The identity is the temporary file's (a program run on it may have
  // replaced it), taken before the rename: after it, another run's file may
  // already stand at the target.
  struct stat st;
  errno = 0;
  if (lstat(temporary_.c_str(), &st) != 0) return errno != 0 ? errno : EIO;
  if (rename(temporary_.c_str(), target_.c_str()) != 0) return errno != 0 ? errno : EIO;
  ForgetTemporaryFile(temporary_.c_str());
  temporary_.clear();
  committed_ = true;
  device_ = static_cast<uint64_t>(st.st_dev);
  inode_ = static_cast<uint64_t>(st.st_ino);
  TrackCommittedFile(target_.c_str(), device_, inode_);
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
  struct stat st;
  if (lstat(target_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == device_ &&
      static_cast<uint64_t>(st.st_ino) == inode_)
    unlink(target_.c_str());
  ForgetCommittedFile(target_.c_str());
  committed_ = false;
}

int RemoveFile(const std::string& path) {
  const std::string name = OpenableName(path);
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return EPERM;
  return unlink(name.c_str()) == 0 ? 0 : errno;
}

}  // namespace prepqdm
