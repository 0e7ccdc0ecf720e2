#include "host/commit_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

namespace prepqdm {

namespace {

// The directory part of `path` as given: "." for a bare name.
std::string DirectoryPart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

CommitLock::CommitLock(const std::vector<std::string>& targets) {
  struct Directory {
    uint64_t device;
    uint64_t inode;
    int fd;
  };
  std::vector<Directory> directories;
  for (const std::string& target : targets) {
    int fd = open(DirectoryPart(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) != 0) {
      close(fd);
      continue;
    }
    const uint64_t device = static_cast<uint64_t>(st.st_dev);
    const uint64_t inode = static_cast<uint64_t>(st.st_ino);
    if (std::any_of(directories.begin(), directories.end(),
                    [&](const Directory& d) { return d.device == device && d.inode == inode; })) {
      close(fd);
      continue;
    }
    directories.push_back({device, inode, fd});
  }
  std::sort(directories.begin(), directories.end(), [](const Directory& a, const Directory& b) {
    return std::tie(a.device, a.inode) < std::tie(b.device, b.inode);
  });
  for (const Directory& directory : directories) {
    int result;
    while ((result = flock(directory.fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (result == 0) {
      held_.push_back(directory.fd);
    } else {
      close(directory.fd);
    }
  }
}

CommitLock::~CommitLock() {
  // Closing the descriptor releases its lock.
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) close(static_cast<int>(*it));
}

}  // namespace prepqdm
