// Large blocks: aligned to their size (huge pages need it), zeroed, and
// independent of each other.
#include "host/large_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace prepqdm {
namespace {

TEST(LargeBlock, AlignedZeroedAndSeparate) {
  void* a = AllocateLargeBlock();
  void* b = AllocateLargeBlock();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  for (void* block : {a, b}) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % kLargeBlockBytes, 0u);
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    EXPECT_EQ(bytes[0] | bytes[kLargeBlockBytes / 2] | bytes[kLargeBlockBytes - 1], 0);
  }
  std::memset(a, 0xAB, kLargeBlockBytes);
  EXPECT_EQ(static_cast<uint8_t*>(b)[kLargeBlockBytes - 1], 0);
  FreeLargeBlock(a);
  FreeLargeBlock(b);
  FreeLargeBlock(nullptr);
}

}  // namespace
}  // namespace prepqdm
