#include "host/large_block.h"

#include <sys/mman.h>

#include <cstdint>

namespace prepqdm {

void* AllocateLargeBlocks(size_t count) {
  if (count == 0 || count > SIZE_MAX / kLargeBlockBytes - 1) return nullptr;
  const size_t bytes = count * kLargeBlockBytes;
  // Map one block more than asked and keep the aligned part.
  const size_t span = bytes + kLargeBlockBytes;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  uintptr_t begin = reinterpret_cast<uintptr_t>(mapped);
  uintptr_t aligned = (begin + kLargeBlockBytes - 1) & ~(uintptr_t{kLargeBlockBytes} - 1);
  if (aligned > begin) munmap(mapped, aligned - begin);
  uintptr_t end = begin + span;
  if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
  void* blocks = reinterpret_cast<void*>(aligned);
  // Only advice: without huge pages the blocks work all the same.
  madvise(blocks, bytes, MADV_HUGEPAGE);
  return blocks;
}

void FreeLargeBlocks(void* blocks, size_t count) {
  if (blocks != nullptr) munmap(blocks, count * kLargeBlockBytes);
}

}  // namespace prepqdm
