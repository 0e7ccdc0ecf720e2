#include "host/file_io.h"

#include <cerrno>
#include <cstdint>

namespace prepqdm {

// The caller writes the zeros: a full disk shows at that write.
SpaceReservation ReserveZeroedSpace(FILE*, uint64_t, uint64_t) {
  errno = 0;
  return SpaceReservation::kNotReserved;
}

bool SeekFile(FILE* file, uint64_t offset) {
  errno = 0;
  return offset <= static_cast<uint64_t>(INT64_MAX) && _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
}

}  // namespace prepqdm
