#include "host/large_block.h"

#include <sys/mman.h>

#include <cstdint>

namespace prepqdm {

void* AllocateLargeBlock() {
  // Map twice the size and keep the aligned middle.
  const size_t span = 2 * kLargeBlockBytes;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  uintptr_t begin = reinterpret_cast<uintptr_t>(mapped);
  uintptr_t aligned = (begin + kLargeBlockBytes - 1) & ~(uintptr_t{kLargeBlockBytes} - 1);
  if (aligned > begin) munmap(mapped, aligned - begin);
  uintptr_t end = begin + span;
  if (end > aligned + kLargeBlockBytes) munmap(reinterpret_cast<void*>(aligned + kLargeBlockBytes), end - aligned - kLargeBlockBytes);
  void* block = reinterpret_cast<void*>(aligned);
  // Only advice: without huge pages the block works all the same.
  madvise(block, kLargeBlockBytes, MADV_HUGEPAGE);
  return block;
}

void FreeLargeBlock(void* block) {
  if (block != nullptr) munmap(block, kLargeBlockBytes);
}

}  // namespace prepqdm
