#include "host/large_block.h"

#include <windows.h>

#include <cstdint>

namespace prepqdm {

void* AllocateLargeBlock() {
  // VirtualAlloc aligns to 64 KiB only: find an aligned address inside a
  // reservation of twice the size, let it go and take the block there. Another
  // thread could take the address in between, so try a few times.
  for (int attempt = 0; attempt < 8; ++attempt) {
    void* probe = VirtualAlloc(nullptr, 2 * kLargeBlockBytes, MEM_RESERVE, PAGE_NOACCESS);
    if (!probe) return nullptr;
    uintptr_t aligned = (reinterpret_cast<uintptr_t>(probe) + kLargeBlockBytes - 1) & ~(uintptr_t{kLargeBlockBytes} - 1);
    VirtualFree(probe, 0, MEM_RELEASE);
    if (void* block = VirtualAlloc(reinterpret_cast<void*>(aligned), kLargeBlockBytes, MEM_RESERVE | MEM_COMMIT,
                                   PAGE_READWRITE))
      return block;
  }
  return nullptr;
}

void FreeLargeBlock(void* block) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace prepqdm
