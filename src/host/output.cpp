#include "host/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

namespace prepqdm {

void Print(Sink& sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(sink, format, args);
  va_end(args);
}

std::string Format(const char* format, ...) {
  std::string text;
  Sink sink{nullptr, &text};
  va_list args;
  va_start(args, format);
  VPrint(sink, format, args);
  va_end(args);
  return text;
}

void VPrint(Sink& sink, const char* format, va_list args) {
  if (!sink.IsOpen()) return;
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(small, sizeof small, format, args);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  const char* text = small;
  std::vector<char> big;
  if (static_cast<size_t>(needed) >= sizeof small) {
    big.resize(static_cast<size_t>(needed) + 1);
    vsnprintf(big.data(), big.size(), format, copy);
    text = big.data();
  }
  va_end(copy);
  PrintBytes(sink, text, static_cast<size_t>(needed));
}

int CloseSink(Sink& sink) {
  if (!sink.file) return 0;
  errno = 0;
  if (fflush(sink.file) != 0 && sink.error == 0) sink.error = errno != 0 ? errno : EIO;
  errno = 0;
  if (fclose(sink.file) != 0 && sink.error == 0) sink.error = errno != 0 ? errno : EIO;
  sink.file = nullptr;
  return sink.error;
}

std::string SystemReason(int error) { return std::strerror(error); }

void PrintNote(Sink& sink, const std::string& subject, int error) {
  Print(sink, "  note: %s: %s\n", subject.c_str(), SystemReason(error).c_str());
}

}  // namespace prepqdm
