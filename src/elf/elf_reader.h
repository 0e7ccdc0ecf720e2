// Validation of ELF32 images and their conversion to host byte order.
#pragma once
#include <cstdint>

#include "elf/elf_format.h"

namespace prepqdm {

// Checks `length` bytes at `image` in a fixed order and returns 0 or the
// 0xBAD000xx code of the first failing check. On success a big-endian image
// has been converted to host order in place (EI_DATA keeps its value).
uint32_t ParseElfImage(uint8_t* image, uint32_t length);

// The same, and sets *written (when not null) before the first byte of the
// image is changed: byte-order conversion, or emptying a relocation table for
// the null section (which happens in either byte order). A caller that gives
// unwritten pages back to the file uses it to keep those that were changed.
uint32_t ParseElfImage(uint8_t* image, uint32_t length, bool* written);

// Whether `size` bytes at `bytes` are an object this program reads: every
// check passes (so a big-endian image has been converted in place, and
// *written set as above).
bool IsElfObject(uint8_t* bytes, uint64_t size, bool* written = nullptr);

// Whether converting a big-endian image rewrites this section's content in
// place (symbol, section index and relocation tables); `section` is the
// converted header.
bool IsConvertedTable(const SectionHeader& section);

}  // namespace prepqdm
