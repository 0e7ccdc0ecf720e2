// Giving pages of a mapped input back: the range's pages leave the process
// (present bits in /proc/self/pagemap) and read back as the file's bytes,
// pages far from the range stay, and a written view or one over ordinary
// memory is left alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "host/mapped_file.h"
#include "support/temp_dir.h"

using namespace prepqdm;

namespace {

const uint64_t kPage = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));

bool Present(const uint8_t* address) {
  int fd = open("/proc/self/pagemap", O_RDONLY);
  uint64_t entry = 0;
  off_t at = static_cast<off_t>(reinterpret_cast<uintptr_t>(address) / kPage * sizeof entry);
  bool read = fd >= 0 && pread(fd, &entry, sizeof entry, at) == static_cast<ssize_t>(sizeof entry);
  if (fd >= 0) close(fd);
  return read && (entry >> 63) != 0;
}

std::vector<uint8_t> Pattern(uint64_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + i / 4093);
  return bytes;
}

// Reads every page; true when all of them are then present and hold `bytes`.
bool ReadsAsFile(const MappedFile& file, const std::vector<uint8_t>& bytes) {
  bool same = std::equal(bytes.begin(), bytes.end(), file.view);
  for (uint64_t at = 0; at < file.size; at += kPage) same = same && Present(file.view + at);
  return same;
}

TEST(ReleaseResidentPages, RangesLeaveAndReadBackAsTheFileUnlessTheViewWasWritten) {
  testsupport::TempDir dir;
  std::vector<uint8_t> bytes = Pattern(80 * kPage + 100);
  testsupport::WriteFile(dir.File("in.o"), bytes);
  Mappings mappings;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(mappings, dir.File("in.o"), &file), kOk);
  // A release may take the rest of the 64 KiB fault-around blocks it lies in.
  constexpr uint64_t kReach = 64 * 1024;
  struct Case { uint64_t offset, length; } cases[] = {
      {30 * kPage + 1, 0}, {30 * kPage + 10, 5}, {40 * kPage - 1, 2}, {80 * kPage + 50, 1u << 20}, {0, 80 * kPage + 100}};
  for (const Case& c : cases) {
    ASSERT_TRUE(ReadsAsFile(*file, bytes));
    ReleaseResidentPages(*file, file->view + c.offset, c.length);
    uint64_t end = std::min<uint64_t>(c.offset + c.length, file->size);
    for (uint64_t at = 0; at < file->size; at += kPage) {
      bool covered = c.length != 0 && at + kPage > c.offset && at < end;
      bool far = c.length == 0 || at + kPage + kReach <= c.offset || at >= end + kReach;
      EXPECT_TRUE(!covered || !Present(file->view + at)) << c.offset << " page " << at / kPage;
      EXPECT_TRUE(!far || Present(file->view + at)) << c.offset << " page " << at / kPage;
    }
  }
  // Written (the flag first, then the store, as the ELF reader does): kept.
  ASSERT_TRUE(ReadsAsFile(*file, bytes));
  file->written = true;
  bytes[kPage + 7] = file->view[kPage + 7] ^= 0xFF;
  ReleaseResidentPages(*file, file->view, file->size);
  EXPECT_TRUE(ReadsAsFile(*file, bytes));
}

// Dropping pages of ordinary memory (a record made by a test or the fuzzer)
// would zero them.
TEST(ReleaseResidentPages, RecordNotMadeByMapFileIsLeftAlone) {
  std::vector<uint8_t> bytes = Pattern(3 * kPage);
  MappedFile record;
  record.size = bytes.size();
  record.view = static_cast<uint8_t*>(std::aligned_alloc(kPage, record.size));
  ASSERT_NE(record.view, nullptr);
  std::copy(bytes.begin(), bytes.end(), record.view);
  ReleaseResidentPages(record, record.view, record.size);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), record.view));
  std::free(record.view);
  record.view = nullptr;
}

}  // namespace
