// CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320) of the export tables.
#pragma once
#include <cstddef>
#include <cstdint>

namespace prepqdm {

uint32_t Crc32(uint32_t initial, const uint8_t* bytes, size_t length);

}  // namespace prepqdm
