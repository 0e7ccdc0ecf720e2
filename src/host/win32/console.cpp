#include "host/output.h"
#include "host/win32/wide.h"

#include <cerrno>

namespace prepqdm {

// The console and the log are text-mode streams (CR LF line ends) in the
// ANSI code page; a captured sink keeps the program's own UTF-8.
void PrintBytes(Sink& sink, const char* bytes, size_t length) {
  if (sink.capture) sink.capture->append(bytes, length);
  if (sink.file) {
    const std::string text = AnsiFromUtf8(std::string_view(bytes, length));
    errno = 0;
    if (fwrite(text.data(), 1, text.size(), sink.file) != text.size() && sink.error == 0)
      sink.error = errno != 0 ? errno : EIO;
  }
}

}  // namespace prepqdm
