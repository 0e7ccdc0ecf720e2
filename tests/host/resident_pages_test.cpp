// Giving pages of a mapped input back to the kernel: the bytes read afterwards
// are the file's, the pages really leave the process (Rss of the mapping in
// /proc/self/smaps), and a view that was written or is not a file mapping
// keeps everything.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/mapped_file.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::TempDir;

namespace {

uint64_t PageSize() { return static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }

// Resident kB of the mapping that holds `address`, or -1 when none does.
long ResidentKb(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long begin = 0, end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> begin >> dash >> end && dash == '-') {
      inside = at >= begin && at < end;
      continue;
    }
    if (inside && line.rfind("Rss:", 0) == 0) return std::strtol(line.c_str() + 4, nullptr, 10);
  }
  return -1;
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

bool SameAsFile(const MappedFile& file, const std::vector<uint8_t>& bytes) {
  return file.size == bytes.size() && std::equal(bytes.begin(), bytes.end(), file.view);
}

class ResidentPages : public ::testing::Test {
 protected:
  void SetUp() override {
    page = PageSize();
    bytes = Pattern(8 * page + 100);
    testsupport::WriteFile(dir.File("in.o"), bytes);
    ASSERT_EQ(MapFile(mappings, dir.File("in.o"), &file), kOk);
    Touch(*file);
    full_kb = ResidentKb(file->view);
    ASSERT_EQ(full_kb, static_cast<long>(9 * page / 1024));
  }

  TempDir dir;
  Mappings mappings;
  MappedFile* file = nullptr;
  uint64_t page = 0;
  std::vector<uint8_t> bytes;
  long full_kb = 0;
};

TEST_F(ResidentPages, ReleasedRangesLeaveAndComeBackWithTheFileBytes) {
  struct Case {
    const char* what;
    uint64_t offset, length;
    long pages_dropped;  // whole pages covering the range, inside the view
  } cases[] = {
      {"empty range", 3 * page + 1, 0, 0},
      {"a few bytes inside one page", 3 * page + 10, 5, 1},
      {"across a page boundary", 2 * page - 1, 2, 2},
      {"the tail, length past the end of the view", 8 * page + 50, 1u << 20, 1},
      {"the whole view", 0, 8 * page + 100, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Touch(*file);
    ASSERT_EQ(ResidentKb(file->view), full_kb);
    ReleaseResidentPages(*file, file->view + c.offset, c.length);
    EXPECT_EQ(ResidentKb(file->view), full_kb - c.pages_dropped * static_cast<long>(page / 1024));
    EXPECT_TRUE(SameAsFile(*file, bytes));
  }
}

TEST_F(ResidentPages, WrittenViewKeepsItsPages) {
  // As the ELF reader does it: the flag first, then the store.
  file->written = true;
  file->view[page + 7] = static_cast<uint8_t>(~bytes[page + 7]);
  ReleaseResidentPages(*file, file->view, file->size);
  EXPECT_EQ(ResidentKb(file->view), full_kb);
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
