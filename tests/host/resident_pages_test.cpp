// Giving pages of a mapped input back to the kernel: the bytes read afterwards
// are the file's, the pages of the range really leave the process (present
// bits in /proc/self/pagemap) while pages far from it stay, and a view that
// was written or is not a file mapping keeps everything.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/mapped_file.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::TempDir;

namespace {

uint64_t PageSize() { return static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }

// Whether the page holding `address` is mapped into the process.
bool Present(const void* address) {
  int fd = open("/proc/self/pagemap", O_RDONLY);
  if (fd < 0) return false;
  uint64_t entry = 0;
  off_t at = static_cast<off_t>(reinterpret_cast<uintptr_t>(address) / PageSize() * sizeof entry);
  bool read_whole = pread(fd, &entry, sizeof entry, at) == static_cast<ssize_t>(sizeof entry);
  close(fd);
  return read_whole && (entry >> 63) != 0;
}

std::vector<uint8_t> Pattern(uint64_t size) {
  std::vector<uint8_t> bytes(size);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + i / 4093);
  return bytes;
}

// Reads a byte of every page, so that all of them are resident.
void Touch(const MappedFile& file) {
  const volatile uint8_t* view = file.view;
  for (uint64_t i = 0; i < file.size; i += 512) (void)view[i];
  (void)view[file.size - 1];
}

bool AllPresent(const MappedFile& file) {
  for (uint64_t at = 0; at < file.size; at += PageSize()) {
    if (!Present(file.view + at)) return false;
  }
  return true;
}

bool SameAsFile(const MappedFile& file, const std::vector<uint8_t>& bytes) {
  return file.size == bytes.size() && std::equal(bytes.begin(), bytes.end(), file.view);
}

class ResidentPages : public ::testing::Test {
 protected:
  void SetUp() override {
    page = PageSize();
    bytes = Pattern(80 * page + 100);
    testsupport::WriteFile(dir.File("in.o"), bytes);
    ASSERT_EQ(MapFile(mappings, dir.File("in.o"), &file), kOk);
    Touch(*file);
    ASSERT_TRUE(AllPresent(*file));
  }

  TempDir dir;
  Mappings mappings;
  MappedFile* file = nullptr;
  uint64_t page = 0;
  std::vector<uint8_t> bytes;
};

TEST_F(ResidentPages, ReleasedRangesLeaveAndComeBackWithTheFileBytes) {
  // A release may take the rest of the fault-around blocks (64 KiB) that the
  // range lies in, never pages further away.
  constexpr uint64_t kReach = 64 * 1024;
  struct Case {
    const char* what;
    uint64_t offset, length;
  } cases[] = {
      {"empty range", 30 * page + 1, 0},
      {"a few bytes inside one page", 30 * page + 10, 5},
      {"across a page boundary", 40 * page - 1, 2},
      {"the tail, length past the end of the view", 80 * page + 50, 1u << 20},
      {"the whole view", 0, 80 * page + 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Touch(*file);
    ReleaseResidentPages(*file, file->view + c.offset, c.length);
    uint64_t end = std::min<uint64_t>(c.offset + c.length, file->size);
    for (uint64_t at = 0; at < file->size; at += page) {
      bool covered = c.length != 0 && at + page > c.offset && at < end;
      bool far = at + page + kReach <= c.offset || at >= end + kReach || c.length == 0;
      if (covered) {
        EXPECT_FALSE(Present(file->view + at)) << "page " << at / page;
      }
      if (far) {
        EXPECT_TRUE(Present(file->view + at)) << "page " << at / page;
      }
    }
    EXPECT_TRUE(SameAsFile(*file, bytes));
  }
}

TEST_F(ResidentPages, WrittenViewKeepsItsPages) {
  // As the ELF reader does it: the flag first, then the store.
  file->written = true;
  file->view[page + 7] = static_cast<uint8_t>(~bytes[page + 7]);
  ReleaseResidentPages(*file, file->view, file->size);
  EXPECT_TRUE(AllPresent(*file));
  EXPECT_EQ(file->view[page + 7], static_cast<uint8_t>(~bytes[page + 7]));
}

// A record made over ordinary memory (tests, fuzzing): giving its pages away
// would zero them.
TEST(ResidentPagesOfMemory, RecordNotMadeByMapFileIsLeftAlone) {
  uint64_t page = PageSize();
  std::vector<uint8_t> bytes = Pattern(3 * page);
  void* memory = std::aligned_alloc(page, 3 * page);
  ASSERT_NE(memory, nullptr);
  std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(memory));
  MappedFile record;
  record.view = static_cast<uint8_t*>(memory);
  record.size = 3 * page;
  ReleaseResidentPages(record, record.view, record.size);
  EXPECT_TRUE(SameAsFile(record, bytes));
  record.view = nullptr;
  std::free(memory);
}

}  // namespace
