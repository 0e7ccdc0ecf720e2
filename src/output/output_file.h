// The write sequence shared by the generated ELF files (the export object and
// the import library's stub object). The file is first filled with zeros over
// its whole length, so every byte that no structure covers is zero whatever
// was in the file before; then the ELF header, each non-empty section and the
// section header table are written at their offsets, all relative to a base
// (68 for a stub object behind an `ar` member header, else 0). Records are
// built in host order and stored in the target order by the Store helpers.
#pragma once
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "elf/elf_format.h"
#include "elf/elf_swap.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/staged_file.h"
#include "host/status.h"

namespace prepqdm {

constexpr bool kHostBigEndian = std::endian::native == std::endian::big;

// Stores records and words in the target order (`swap` when it differs from
// the host's).
inline void StoreWord(uint8_t* p, uint32_t value, bool swap) { StoreAt(p, swap ? Bswap32(value) : value); }
inline uint32_t LoadWord(const uint8_t* p, bool swap) {
  uint32_t value = LoadAt<uint32_t>(p);
  return swap ? Bswap32(value) : value;
}
inline void StoreRecord(uint8_t* p, ElfHeader h, bool swap) {
  if (swap) SwapElfHeader(h);
  StoreAt(p, h);
}
inline void StoreRecord(uint8_t* p, SectionHeader s, bool swap) {
  if (swap) SwapSectionHeader(s);
  StoreAt(p, s);
}
inline void StoreRecord(uint8_t* p, ElfSymbol s, bool swap) {
  if (swap) SwapSymbol(s);
  StoreAt(p, s);
}
inline void StoreRecord(uint8_t* p, ElfRela r, bool swap) {
  if (swap) SwapRela(r);
  StoreAt(p, r);
}

// Sequential, buffered output of one piece of a file. A failed write is
// remembered with its errno; later appends are dropped.
class ByteSink {
 public:
  explicit ByteSink(FILE* file) : file_(file) {}
  // Small appends, the common case, stay inline.
  void Append(const void* bytes, uint64_t length) {
    if (length <= sizeof buffer_ - used_) {
      std::memcpy(buffer_ + used_, bytes, length);
      used_ += length;
      written_ += length;
    } else {
      AppendLarge(bytes, length);
    }
  }
  void AppendZeros(uint64_t length) {
    if (length <= sizeof buffer_ - used_) {
      std::memset(buffer_ + used_, 0, length);
      used_ += length;
      written_ += length;
    } else {
      AppendLargeZeros(length);
    }
  }
  // Writes out what is buffered; false (errno set) when any write failed.
  bool Finish();
  uint64_t written() const { return written_; }

 private:
  void Flush();
  void AppendLarge(const void* bytes, uint64_t length);
  void AppendLargeZeros(uint64_t length);
  FILE* file_;
  bool failed_ = false;
  int error_ = 0;
  uint64_t written_ = 0;
  size_t used_ = 0;
  uint8_t buffer_[64 * 1024];
};

// One contiguous piece of the file, at an offset relative to the base: bytes
// at hand, or made on the fly by `produce` (which must append exactly
// `length` bytes), so a large section never has to be held whole in memory.
struct FilePiece {
  FilePiece() = default;
  FilePiece(uint64_t at, const uint8_t* data, uint64_t size) : offset(at), bytes(data), length(size) {}
  FilePiece(uint64_t at, uint64_t size, std::function<void(ByteSink&)> maker)
      : offset(at), length(size), produce(std::move(maker)) {}

  uint64_t offset = 0;
  const uint8_t* bytes = nullptr;
  uint64_t length = 0;
  std::function<void(ByteSink&)> produce;
};

// The console messages of one writer; they differ slightly between writers.
struct WriteMessages {
  const char* zero_fill;
  const char* seek_start;
  const char* header_write;
  const char* section_seek;
  const char* section_write;
  const char* headers_seek;
  const char* headers_write;
};

struct ElfFileContents {
  uint64_t base = 0;    // where the object starts in the file
  uint64_t length = 0;  // object length, zero-filled first
  FilePiece header;     // the ELF header, at offset 0
  std::vector<FilePiece> sections;
  // Bytes at hand only once the sections are out, written over them after.
  std::vector<FilePiece> patches;
  FilePiece section_headers;
};

// Writes `contents` to the open `file` (positioned at `base`). Prints the
// matching message with a note naming `path` and the reason, and returns
// errno (never 0) on failure, else 0. The caller closes the file.
Status WriteElfContents(Sink& console, const std::string& path, FILE* file, const ElfFileContents& contents,
                        const WriteMessages& messages);

// Writes `contents` into the open staged `file` and closes it: 0, ready to
// commit, or errno after the failure's message and note.
Status WriteGeneratedFile(Sink& console, StagedFile& file, const ElfFileContents& contents,
                          const WriteMessages& messages);

// Opens a generated file (see StagedFile); on failure prints `message` with
// a note naming `path` and the reason, and returns the errno.
Status OpenGeneratedFile(const Mappings& mappings, Sink& console, const std::string& path, const char* message,
                         StagedFile* file);

// errno, or EIO when a failed call left it 0, so a failure never reads as 0.
int FailureErrno();

}  // namespace prepqdm
