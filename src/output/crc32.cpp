// CRC-32 as used by Ethernet and zip (IEEE 802.3): reflected polynomial
// 0xEDB88320, register preset to all ones, result complemented. The table is
// built at compile time so the value never depends on anything outside this
// file.
#include "output/crc32.h"

#include <array>

namespace prepqdm {

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint32_t Crc32(uint32_t initial, const uint8_t* bytes, size_t length) {
  if (length == 0) return initial;
  uint32_t c = ~initial;
  for (size_t i = 0; i < length; ++i) c = kCrcTable[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace prepqdm
