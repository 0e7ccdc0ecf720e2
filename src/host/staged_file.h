// An output file that appears whole or not at all. It is written to a new
// temporary file in the target's directory (created as fopen would create
// it: mode 0666 less the umask) and renamed over the target once complete,
// so a run that fails, is killed or runs beside another run of the same
// outputs never leaves a partial or mixed file at the target: readers see
// the previous file until the rename and the new one after it. A symlink at
// the target is replaced, not followed, and another hard link to the old
// file keeps the old bytes. A target that exists and is not a regular file
// (/dev/null, a FIFO) is written directly, as renaming over it would remove
// it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/mapped_file.h"

namespace prepqdm {

class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&& other) noexcept;
  ~StagedFile();  // discards what was not committed

  // Opens the file that stands in for `target` until Commit. Returns 0, or
  // the errno of the refusal: EBUSY for a target this run has mapped, EACCES
  // for an existing target this user may not write, or what creating the
  // temporary file gave (a directory that does not exist or is not
  // writable).
  int Open(const Mappings& mappings, const std::string& target);
  bool IsOpen() const { return stream_ != nullptr; }
  FILE* stream() const { return stream_; }
  const std::string& target() const { return target_; }
  // Where the bytes are: the temporary file, or the target when written
  // directly.
  const std::string& written_path() const { return direct_ ? target_ : temporary_; }

  // Closes the stream; 0 or errno.
  int Close();
  // Closes it if open and renames the file into place; 0 or errno.
  int Commit();
  bool committed() const { return committed_; }
  // Written and closed, waiting for Commit.
  bool pending() const { return !committed_ && !stream_ && (direct_ ? !target_.empty() : !temporary_.empty()); }
  // Before Commit: closes and removes the temporary file.
  void Discard();
  // After Commit: removes the target if it is still the file this run put
  // there (a concurrent run's file is left alone).
  void RemoveCommitted();
  // The run succeeded: the committed file stays, whatever comes.
  void Keep();

 private:
  // Takes the opened stream (and the temporary file it writes, if any),
  // unbuffered so that a failing write is seen where it happens.
  void Adopt(FILE* stream, std::string temporary);

  std::string target_;
  std::string temporary_;
  FILE* stream_ = nullptr;
  bool direct_ = false;
  bool committed_ = false;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
};

// Removes `path` when it exists and is a regular file (a symlink counts as
// the link itself); 0 or errno.
int RemoveFile(const std::string& path);

}  // namespace prepqdm
