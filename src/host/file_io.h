// File positioning and space reservation for the generated files. A fresh or
// truncated file reads as zeros past its end, so reserving a range there gives
// the same zero fill as writing zeros, and a full disk is still seen at once.
#pragma once
#include <cstdint>
#include <cstdio>

namespace prepqdm {

enum class SpaceReservation {
  kReserved,     // the range now reads as zeros and is allocated
  kNoSpace,      // the disk or a file size limit is full (errno set)
  kNotReserved,  // not a regular file, the file already reaches `base`, or
                 // the file system cannot: the caller writes the zeros
};

SpaceReservation ReserveZeroedSpace(FILE* file, uint64_t base, uint64_t length);

// Moves to a 64-bit offset; false (errno set) on failure.
bool SeekFile(FILE* file, uint64_t offset);

}  // namespace prepqdm
