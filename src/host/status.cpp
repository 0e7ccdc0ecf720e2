#include <cerrno>

#include "host/mapped_file.h"

namespace prepqdm {

Status StatusFromErrno(int error) {
  switch (error) {
    case ENOENT: return kEFileNotFound;
    case ENOTDIR: return kEPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kEAccessDenied;
    case ENOMEM: return kEOutOfMemory;
    case ENAMETOOLONG: return kEPathNotFound;
    default: return error > 0 ? AsStatus(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu)) : kEFail;
  }
}

}  // namespace prepqdm
