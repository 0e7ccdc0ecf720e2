#include "host/output.h"

namespace prepqdm {

void PrintBytes(Sink& sink, const char* bytes, size_t length) {
  if (sink.capture) sink.capture->append(bytes, length);
  if (sink.file) fwrite(bytes, 1, length, sink.file);
}

}  // namespace prepqdm
