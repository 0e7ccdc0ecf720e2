#include "output/output_file.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "host/file_io.h"
#include "host/paths.h"

namespace prepqdm {

Status OpenGeneratedFile(const Mappings& mappings, Sink& console, const std::string& path, const char* message,
                         StagedFile* file) {
  // The export object's path is a full one, which may be too long for one
  // system call; the note still names it.
  int error = file->Open(mappings, OpenableName(path));
  if (error == 0) return kOk;
  Print(console, "%s", message);
  PrintNote(console, path, error);
  return error;
}

int FailureErrno() { return errno != 0 ? errno : EIO; }

namespace {

bool WriteAll(FILE* file, const uint8_t* bytes, uint64_t length) {
  errno = 0;
  return length == 0 || fwrite(bytes, 1, length, file) == length;
}

// The zero fill: space is reserved in one call where the file system can do
// it, so a full disk still fails here, as the zero-filling writes would;
// anything else (a pipe, a device, a file system without it) gets the zeros
// written.
bool FillWithZeros(FILE* file, uint64_t base, uint64_t length) {
  if (length == 0) return true;
  errno = 0;
  if (length <= static_cast<uint64_t>(INT64_MAX) - base) {
    switch (ReserveZeroedSpace(file, base, length)) {
      case SpaceReservation::kReserved: return SeekFile(file, base + length);
      case SpaceReservation::kNoSpace: return false;
      case SpaceReservation::kNotReserved: break;
    }
  }
  static constexpr uint8_t kZeros[4096] = {};  // a multiple of 4 bytes
  for (uint64_t left = length; left != 0;) {
    uint64_t chunk = std::min<uint64_t>(left, sizeof kZeros);
    if (!WriteAll(file, kZeros, chunk)) return false;
    left -= chunk;
  }
  return true;
}

Status Fail(Sink& console, const std::string& path, const char* message) {
  int error = FailureErrno();
  Print(console, "%s", message);
  PrintNote(console, path, error);
  return error;
}

}  // namespace

void ByteSink::Flush() {
  if (used_ == 0) return;
  if (!failed_ && !WriteAll(file_, buffer_, used_)) {
    failed_ = true;
    error_ = FailureErrno();
  }
  used_ = 0;
}

void ByteSink::AppendLarge(const void* bytes, uint64_t length) {
  const uint8_t* from = static_cast<const uint8_t*>(bytes);
  written_ += length;
  while (length != 0) {
    if (used_ == sizeof buffer_) Flush();
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, sizeof buffer_ - used_));
    std::memcpy(buffer_ + used_, from, chunk);
    used_ += chunk;
    from += chunk;
    length -= chunk;
  }
}

void ByteSink::AppendLargeZeros(uint64_t length) {
  written_ += length;
  while (length != 0) {
    if (used_ == sizeof buffer_) Flush();
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, sizeof buffer_ - used_));
    std::memset(buffer_ + used_, 0, chunk);
    used_ += chunk;
    length -= chunk;
  }
}

bool ByteSink::Finish() {
  Flush();
  if (failed_) errno = error_;
  return !failed_;
}

Status WriteElfContents(Sink& console, const std::string& path, FILE* file, const ElfFileContents& contents,
                        const WriteMessages& messages) {
  if (!FillWithZeros(file, contents.base, contents.length)) return Fail(console, path, messages.zero_fill);
  if (!SeekFile(file, contents.base)) return Fail(console, path, messages.seek_start);
  if (!WriteAll(file, contents.header.bytes, contents.header.length)) return Fail(console, path, messages.header_write);
  for (const FilePiece& section : contents.sections) {
    if (section.length == 0) continue;
    if (!SeekFile(file, contents.base + section.offset)) return Fail(console, path, messages.section_seek);
    if (section.produce) {
      ByteSink sink(file);
      section.produce(sink);
      assert(sink.written() == section.length);
      if (!sink.Finish()) return Fail(console, path, messages.section_write);
    } else if (!WriteAll(file, section.bytes, section.length)) {
      return Fail(console, path, messages.section_write);
    }
  }
  for (const FilePiece& patch : contents.patches) {
    if (!SeekFile(file, contents.base + patch.offset)) return Fail(console, path, messages.section_seek);
    if (!WriteAll(file, patch.bytes, patch.length)) return Fail(console, path, messages.section_write);
  }
  if (!SeekFile(file, contents.base + contents.section_headers.offset)) return Fail(console, path, messages.headers_seek);
  // A buffered write can fail only when it reaches the disk; flushing here
  // keeps a full disk from passing as success.
  if (!WriteAll(file, contents.section_headers.bytes, contents.section_headers.length) || fflush(file) != 0)
    return Fail(console, path, messages.headers_write);
  return kOk;
}

Status WriteGeneratedFile(Sink& console, StagedFile& file, const ElfFileContents& contents,
                          const WriteMessages& messages) {
  Status status = WriteElfContents(console, file.target(), file.stream(), contents, messages);
  if (status != kOk) return status;
  if (int error = file.Close()) {
    Print(console, "%s", messages.headers_write);
    PrintNote(console, file.target(), error);
    return error;
  }
  return kOk;
}

}  // namespace prepqdm
