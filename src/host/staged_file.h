// An output file that appears whole or not at all. It is written to a new
// temporary file (created as fopen would create it: mode 0666 less the
// umask) whose name ends with the target's own name, so that a program run
// on it (the archiver) names something readable, and renamed over the target
// once complete, so a run that fails, is killed or runs beside another run
// of the same outputs never leaves a partial or mixed file at the target:
// readers see the previous file until the rename and the new one after it. A
// symlink at the target is replaced, not followed, and another hard link to
// the old file keeps the old bytes.
//
// A target that exists and is not a regular file (/dev/null, a FIFO) cannot
// be renamed over: renaming would remove it. It is opened when the file is
// opened (so opening a FIFO waits for its reader, as before), its bytes are
// staged in the system's temporary directory like any other output's, and
// only after every regular output of the run is in place are they copied to
// it in one sequential pass. Until then nothing is written to it; a run that
// fails first closes it unwritten.
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

  // Opens the file that stands in for `target` (opened, examined and renamed
  // by this name, as given) until Commit. Returns 0, or the errno of the
  // refusal: EBUSY for a target this run has mapped, EACCES for an existing
  // target this user may not write, or what creating the temporary file gave
  // (a directory that does not exist or is not writable).
  int Open(const Mappings& mappings, const std::string& target);
  bool IsOpen() const { return stream_ != nullptr; }
  FILE* stream() const { return stream_; }
  const std::string& target() const { return target_; }
  // Where the bytes are until the commit: the temporary file.
  const std::string& written_path() const { return temporary_; }
  // The target is not a regular file: it is given a copy, never replaced.
  bool special() const { return special_ != nullptr; }

  // Closes the stream; 0 or errno.
  int Close();
  // Closes it if open and renames the file into place; 0 or errno. A special
  // target is only marked: CopyToSpecialTarget writes it.
  int Commit();
  // After Commit, for a special target: copies the finished bytes to it and
  // closes it; 0 or errno.
  int CopyToSpecialTarget();
  bool committed() const { return committed_; }
  // Written and closed, waiting for Commit.
  bool pending() const { return !committed_ && !stream_ && !temporary_.empty(); }
  // Before Commit: closes and removes the temporary file (and closes a
  // special target unwritten).
  void Discard();
  // After Commit: removes the target if it is still the file this run put
  // there (a file that replaced it since is left alone).
  void RemoveCommitted();
  // The run succeeded: the committed file stays, whatever comes.
  void Keep();

 private:
  // Takes the opened stream and the temporary file it writes, unbuffered so
  // that a failing write is seen where it happens.
  void Adopt(FILE* stream, std::string temporary);
  // Creates the temporary file for the target named `name` in `directory`
  // (with its separator, or empty for the working directory).
  int CreateTemporary(const std::string& directory, const std::string& name);
  void CloseSpecialTarget();

  std::string target_;
  std::string temporary_;
  FILE* stream_ = nullptr;
  FILE* special_ = nullptr;  // the opened target that is not a regular file
  bool committed_ = false;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
};

// Removes `path` when it exists and is a regular file (a symlink counts as
// the link itself); 0 or errno.
int RemoveFile(const std::string& path);

// The temporary file's name for a target named `name`: hidden, unique per
// process and attempt, ending with the target's name (its last 100 bytes, so
// that any file system takes it).
std::string TemporaryName(const std::string& name, uint64_t process, unsigned attempt);

}  // namespace prepqdm
