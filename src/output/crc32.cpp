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

// Tables for eight bytes per step: kSliced[k][b] is the register after byte b
// followed by k zero bytes. Same result as the bytewise loop, a few times faster
// on the export tables of big modules.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeSlicedTables() {
  std::array<std::array<uint32_t, 256>, 8> tables{};
  tables[0] = MakeCrcTable();
  for (int k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
  return tables;
}

constexpr std::array<std::array<uint32_t, 256>, 8> kSliced = MakeSlicedTables();

}  // namespace

uint32_t Crc32(uint32_t initial, const uint8_t* bytes, size_t length) {
  if (length == 0) return initial;
  uint32_t c = ~initial;
  size_t i = 0;
  for (; length - i >= 8; i += 8) {
    const uint8_t* p = bytes + i;
    uint32_t low = c ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    c = kSliced[7][low & 0xFF] ^ kSliced[6][(low >> 8) & 0xFF] ^ kSliced[5][(low >> 16) & 0xFF] ^
        kSliced[4][low >> 24] ^ kSliced[3][p[4]] ^ kSliced[2][p[5]] ^ kSliced[1][p[6]] ^ kSliced[0][p[7]];
  }
  for (; i < length; ++i) c = kCrcTable[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace prepqdm
