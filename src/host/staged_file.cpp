// What writing a staged file means on every host; creating, renaming and
// removing the files is the host's (linux/, win32/).
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
  special_ = std::exchange(other.special_, nullptr);
  committed_ = other.committed_;
  device_ = other.device_;
  inode_ = other.inode_;
  other.temporary_.clear();
  other.committed_ = false;
  return *this;
}

StagedFile::~StagedFile() { Discard(); }

std::string TemporaryName(const std::string& name, uint64_t process, unsigned attempt) {
  constexpr size_t kKept = 100;
  const std::string tail = name.size() > kKept ? name.substr(name.size() - kKept) : name;
  // Built forward: GCC 12 at -O3 takes a literal + string for an
  // overlapping copy (-Wrestrict).
  std::string temporary = ".";
  temporary += std::to_string(process) + "." + std::to_string(attempt) + "." + tail;
  return temporary;
}

void StagedFile::Adopt(FILE* stream, std::string temporary) {
  stream_ = stream;
  temporary_ = std::move(temporary);
  TrackTemporaryFile(temporary_.c_str());
  setvbuf(stream_, nullptr, _IONBF, 0);
}

int StagedFile::Close() {
  if (!stream_) return 0;
  errno = 0;
  int result = fclose(stream_);
  stream_ = nullptr;
  return result == 0 ? 0 : (errno != 0 ? errno : EIO);
}

void StagedFile::CloseSpecialTarget() {
  if (special_) fclose(special_);
  special_ = nullptr;
}

void StagedFile::Discard() {
  Close();
  // A special target not yet given its copy is closed unwritten: a FIFO's
  // reader sees the end of the file.
  CloseSpecialTarget();
  if (!temporary_.empty()) {
    RemoveFile(temporary_);
    ForgetTemporaryFile(temporary_.c_str());
    temporary_.clear();
  }
}

int StagedFile::CopyToSpecialTarget() {
  if (!special_ || !committed_) return 0;
  errno = 0;
  FILE* source = fopen(temporary_.c_str(), "rb");
  if (!source) return errno != 0 ? errno : EIO;
  int error = 0;
  static constexpr size_t kChunk = 256 * 1024;
  std::string buffer(kChunk, '\0');
  for (;;) {
    size_t got = fread(buffer.data(), 1, kChunk, source);
    errno = 0;
    if (got > 0 && fwrite(buffer.data(), 1, got, special_) != got) {
      error = errno != 0 ? errno : EIO;
      break;
    }
    if (got < kChunk) {
      if (ferror(source)) error = EIO;
      break;
    }
  }
  fclose(source);
  errno = 0;
  if (fflush(special_) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  errno = 0;
  if (fclose(special_) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  special_ = nullptr;
  RemoveFile(temporary_);
  ForgetTemporaryFile(temporary_.c_str());
  temporary_.clear();
  return error;
}

void StagedFile::Keep() {
  if (committed_) ForgetCommittedFile(target_.c_str());
  committed_ = false;
}

}  // namespace prepqdm
