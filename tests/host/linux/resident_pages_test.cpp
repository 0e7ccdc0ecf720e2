// Giving pages of a mapped input back: the range's pages leave the process
// (present bits in /proc/self/pagemap) and read back as the file's bytes,
// pages far from the range stay, and a written view or one over ordinary
// memory is left alone; queued give-backs leave together.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
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

// Queued give-backs: nothing leaves before the flush (or before the queue
// covers kQueuedBytes), ranges of one file that touch become one, a view
// written after it was queued keeps its pages, and a view about to be
// unmapped is flushed first so that no advice outlives it.
TEST(PageGiveBacks, QueuedRangesLeaveTogetherAtTheFlush) {
  testsupport::TempDir dir;
  constexpr uint64_t kPages = 48;
  std::vector<uint8_t> bytes = Pattern(kPages * kPage);
  Mappings mappings;
  MappedFile* files[4] = {};
  for (int i = 0; i < 4; ++i) {
    std::string path = dir.File("in" + std::to_string(i) + ".o");
    testsupport::WriteFile(path, i == 3 ? Pattern(PageGiveBacks::kQueuedBytes + kPage) : bytes);
    ASSERT_EQ(MapFile(mappings, path, &files[i]), kOk);
  }
  MappedFile& a = *files[0];
  MappedFile& b = *files[1];
  ASSERT_TRUE(ReadsAsFile(a, bytes) && ReadsAsFile(b, bytes));
  PageGiveBacks queue;
  queue.Add(a, a.view, 8 * kPage);
  queue.Add(a, a.view + 8 * kPage, 8 * kPage);  // touches the first: merged
  queue.Add(b, b.view, b.size);
  EXPECT_EQ(queue.queued.size(), 2u);
  EXPECT_TRUE(Present(a.view) && Present(b.view + b.size - 1));
  b.written = true;
  b.view[3] ^= 0xFF;
  queue.Flush();
  EXPECT_TRUE(queue.queued.empty());
  EXPECT_FALSE(Present(a.view) || Present(a.view + 15 * kPage));
  EXPECT_TRUE(Present(a.view + (kPages - 1) * kPage));
  b.view[3] ^= 0xFF;
  EXPECT_TRUE(ReadsAsFile(b, bytes));
  EXPECT_TRUE(ReadsAsFile(a, bytes));

  // A queue that reaches kQueuedBytes flushes by itself.
  MappedFile& large = *files[3];
  ASSERT_TRUE(ReadsAsFile(large, Pattern(large.size)));
  queue.Add(large, large.view, large.size);
  EXPECT_TRUE(queue.queued.empty());
  EXPECT_FALSE(Present(large.view + kPage));

  MappedFile& last = *files[2];
  ASSERT_TRUE(ReadsAsFile(last, bytes));
  queue.Add(last, last.view, last.size);
  EXPECT_EQ(last.give_backs, &queue);
  EXPECT_EQ(ReleaseMappedFile(&last), 0);
  EXPECT_TRUE(queue.queued.empty());
}

// Prefaulting maps a range whole (where the kernel knows the advice) and
// leaves ranges above kPrefaultBytes to fault in as they are read; neither it
// nor reading the file beside the view changes what the view reads.
TEST(PrefaultPages, MapsSmallRangesWhole) {
  testsupport::TempDir dir;
  std::vector<uint8_t> bytes = Pattern(kPrefaultBytes + 2 * kPage);
  testsupport::WriteFile(dir.File("in.o"), bytes);
  Mappings mappings;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(mappings, dir.File("in.o"), &file), kOk);
  ASSERT_FALSE(Present(file->view + 40 * kPage));
  PrefaultPages(*file, file->view, file->size);  // too big: nothing
  EXPECT_FALSE(Present(file->view + 40 * kPage));
  PrefaultPages(*file, file->view + 30 * kPage + 5, 20 * kPage);
  if (!Present(file->view + 40 * kPage)) GTEST_SKIP() << "MADV_POPULATE_READ not known here";
  EXPECT_TRUE(Present(file->view + 30 * kPage) && Present(file->view + 50 * kPage));
  EXPECT_TRUE(ReadsAsFile(*file, bytes));

  // Pages prefaulted for writing hold the file's bytes until written, and
  // ReadFileAt reads the file without mapping the view.
  ReleaseResidentPages(*file, file->view, file->size);
  uint8_t read[16];
  ASSERT_TRUE(ReadFileAt(*file, 70 * kPage + 3, read, sizeof read));
  EXPECT_TRUE(std::equal(read, read + sizeof read, bytes.begin() + 70 * kPage + 3));
  EXPECT_FALSE(Present(file->view + 70 * kPage));
  EXPECT_FALSE(ReadFileAt(*file, file->size - 8, read, sizeof read));
  PrefaultPagesForWriting(*file, file->view + 70 * kPage, 2 * kPage);
  EXPECT_TRUE(Present(file->view + 71 * kPage));
  EXPECT_TRUE(ReadsAsFile(*file, bytes));
}

namespace {

// A long read gives the view back every kItemsPerGiveBack items and at its
// end, not before; without a file it does nothing.
TEST(LongRead, GivesTheViewBackEveryFewItemsAndAtTheEnd) {
  testsupport::TempDir dir;
  std::vector<uint8_t> bytes = Pattern(8 * kPage);
  testsupport::WriteFile(dir.File("stub.o"), bytes);
  Mappings mappings;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(mappings, dir.File("stub.o"), &file), kOk);
  LongRead reading(file);
  ASSERT_TRUE(ReadsAsFile(*file, bytes));
  for (uint64_t i = 1; i < LongRead::kItemsPerGiveBack; ++i) reading.Step();
  EXPECT_TRUE(Present(file->view + 5 * kPage));
  reading.Step();
  EXPECT_FALSE(Present(file->view + 5 * kPage));
  ASSERT_TRUE(ReadsAsFile(*file, bytes));
  reading.Step();
  EXPECT_TRUE(Present(file->view + 5 * kPage));
  reading.End();
  EXPECT_FALSE(Present(file->view));
  EXPECT_TRUE(ReadsAsFile(*file, bytes));
  LongRead nothing(nullptr);
  for (uint64_t i = 0; i < LongRead::kItemsPerGiveBack; ++i) nothing.Step();
  nothing.End();
}

}  // namespace
