// Memory for a large table that is read in random order (the symbol
// table): blocks aligned to 2 MiB with transparent huge pages requested, so
// that lookups spread over tens of megabytes do not miss the TLB at every
// step. As with any anonymous memory, pages are committed only when touched.
#pragma once
#include <cstddef>
#include <memory>

namespace prepqdm {

constexpr size_t kLargeBlockBytes = size_t{2} << 20;

// A zeroed block of kLargeBlockBytes, or null when memory is exhausted.
void* AllocateLargeBlock();
void FreeLargeBlock(void* block);

struct LargeBlockDeleter {
  void operator()(void* block) const { FreeLargeBlock(block); }
};

}  // namespace prepqdm
