#include "host/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

namespace prepqdm {

SpaceReservation ReserveZeroedSpace(FILE* file, uint64_t base, uint64_t length) {
  errno = 0;
  int fd = fileno(file);
  struct stat st;
  // Reserved space reads as zeros only past the end of what is there.
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= base &&
      fallocate(fd, 0, static_cast<off_t>(base), static_cast<off_t>(length)) == 0) {
    return SpaceReservation::kReserved;
  }
  if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT) return SpaceReservation::kNoSpace;
  return SpaceReservation::kNotReserved;
}

bool SeekFile(FILE* file, uint64_t offset) {
  errno = 0;
  return offset <= static_cast<uint64_t>(INT64_MAX) && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

}  // namespace prepqdm
