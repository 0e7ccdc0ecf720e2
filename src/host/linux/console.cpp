#include "host/output.h"

#include <cerrno>

namespace prepqdm {

void PrintBytes(Sink& sink, const char* bytes, size_t length) {
  if (sink.capture) sink.capture->append(bytes, length);
  if (!sink.file) return;
  errno = 0;
  if (fwrite(bytes, 1, length, sink.file) != length && sink.error == 0) sink.error = errno != 0 ? errno : EIO;
}

}  // namespace prepqdm
