// Memory for large tables read in random order (the symbol table's records
// and its hash index): blocks aligned to 2 MiB with transparent huge pages
// requested, so that lookups spread over tens of megabytes do not miss the
// TLB at every step. As with any anonymous memory, pages are committed only
// when touched.
#pragma once
#include <cstddef>
#include <memory>

namespace prepqdm {

constexpr size_t kLargeBlockBytes = size_t{2} << 20;

// A zeroed run of `count` (at least 1) consecutive blocks of
// kLargeBlockBytes, or null when memory is exhausted.
void* AllocateLargeBlocks(size_t count);
void FreeLargeBlocks(void* blocks, size_t count);

inline void* AllocateLargeBlock() { return AllocateLargeBlocks(1); }
inline void FreeLargeBlock(void* block) { FreeLargeBlocks(block, 1); }

struct LargeBlockDeleter {
  void operator()(void* block) const { FreeLargeBlock(block); }
};

}  // namespace prepqdm
