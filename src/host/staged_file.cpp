// What writing a staged file means on every host; creating, renaming and
// removing the files is the host's (posix/, win32/).
#include "host/staged_file.h"

#include <cerrno>
#include <utility>

#include "host/fatal_cleanup.h"

namespace prepqdm {

StagedFile::StagedFile(StagedFile&& other) noexcept { *this = std::move(other); }

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this == &other) return *this;
  Discard();
  target_ = std::move(other.target_);
  temporary_ = std::move(other.temporary_);
  stream_ = std::exchange(other.stream_, nullptr);
  direct_ = other.direct_;
  committed_ = other.committed_;
  device_ = other.device_;
  inode_ = other.inode_;
  other.temporary_.clear();
  other.committed_ = false;
  return *this;
}

StagedFile::~StagedFile() { Discard(); }

void StagedFile::Adopt(FILE* stream, std::string temporary) {
  stream_ = stream;
  if (!temporary.empty()) {
    temporary_ = std::move(temporary);
    TrackTemporaryFile(temporary_.c_str());
  }
  setvbuf(stream_, nullptr, _IONBF, 0);
}

int StagedFile::Close() {
  if (!stream_) return 0;
  errno = 0;
  int result = fclose(stream_);
  stream_ = nullptr;
  return result == 0 ? 0 : (errno != 0 ? errno : EIO);
}

void StagedFile::Keep() {
  if (committed_ && !direct_) ForgetCommittedFile(target_.c_str());
  committed_ = false;
}

}  // namespace prepqdm
