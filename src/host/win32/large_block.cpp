#include "host/large_block.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace prepqdm {

void* AllocateLargeBlocks(size_t count) {
  if (count == 0 || count > SIZE_MAX / kLargeBlockBytes / 2) return nullptr;
  const size_t bytes = count * kLargeBlockBytes;
  // VirtualAlloc aligns to 64 KiB only: find an aligned address inside a
  // reservation one block larger, let it go and take the block there. Another
  // thread could take the address in between, so try a few times.
  for (int attempt = 0; attempt < 8; ++attempt) {
    void* probe = VirtualAlloc(nullptr, bytes + kLargeBlockBytes, MEM_RESERVE, PAGE_NOACCESS);
    if (!probe) return nullptr;
    uintptr_t aligned = (reinterpret_cast<uintptr_t>(probe) + kLargeBlockBytes - 1) & ~(uintptr_t{kLargeBlockBytes} - 1);
    VirtualFree(probe, 0, MEM_RELEASE);
    if (void* block = VirtualAlloc(reinterpret_cast<void*>(aligned), bytes, MEM_RESERVE | MEM_COMMIT,
                                   PAGE_READWRITE))
      return block;
  }
  return nullptr;
}

void FreeLargeBlocks(void* blocks, size_t) {
  if (blocks != nullptr) VirtualFree(blocks, 0, MEM_RELEASE);
}

}  // namespace prepqdm
