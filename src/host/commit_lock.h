// The lock under which one run puts its outputs in place, so that outputs
// that stand side by side (the export object and its import library) always
// come from the same run even when two runs write them at once. There is one
// exclusive lock per directory that receives an output, held only for the
// renames; directories are told apart by identity, never by spelling, so a
// directory named twice is locked once, and locks are taken in one order by
// every run. Where a lock cannot be had (a file system without locks, a
// directory that cannot be opened) the run goes on without it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace prepqdm {

class CommitLock {
 public:
  // Locks the directories of `targets` (paths as given), waiting for each.
  explicit CommitLock(const std::vector<std::string>& targets);
  ~CommitLock();
  CommitLock(const CommitLock&) = delete;
  CommitLock& operator=(const CommitLock&) = delete;

  // How many locks are held (tests).
  size_t held() const { return held_.size(); }

 private:
  std::vector<int64_t> held_;  // descriptors or handles
};

}  // namespace prepqdm
