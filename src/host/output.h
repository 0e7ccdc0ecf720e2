// Console and log sinks. Every message of the program goes through Print with
// a printf format checked at compile time, so the program's message texts can
// be written exactly as they are shown to the user. A sink writes to a stdio
// stream or, in tests and in-process runs, appends to a string.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

// MinGW's "printf" format checks the Microsoft runtime's dialect; the
// program formats with the C99 one (%zu, %lld) everywhere.
#ifdef __MINGW_PRINTF_FORMAT
#define PREPQDM_PRINTF __MINGW_PRINTF_FORMAT
#else
#define PREPQDM_PRINTF printf
#endif

namespace prepqdm {

struct Sink {
  FILE* file = nullptr;           // written when set
  std::string* capture = nullptr; // appended to when set (tests)
  int error = 0;                  // errno of the first write to `file` that failed
  bool IsOpen() const { return file != nullptr || capture != nullptr; }
};

// A name's length as a "%.*s" precision. A negative precision would make
// printf read to a zero byte, so lengths past INT_MAX are clamped.
inline int PrintedLength(std::string_view text) {
  return text.size() > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(text.size());
}

void Print(Sink& sink, const char* format, ...) __attribute__((format(PREPQDM_PRINTF, 2, 3)));
void VPrint(Sink& sink, const char* format, va_list args) __attribute__((format(PREPQDM_PRINTF, 2, 0)));

// Flushes and closes the sink's file: 0 when everything printed to it was
// written, else the errno of the first failure.
int CloseSink(Sink& sink);

// printf into a new string.
std::string Format(const char* format, ...) __attribute__((format(PREPQDM_PRINTF, 1, 2)));

// Writes raw bytes (for names that are not zero-terminated).
void PrintBytes(Sink& sink, const char* bytes, size_t length);

// The system's words for an errno value.
std::string SystemReason(int error);

// "  note: <subject>: <the system's words for error>": the line that follows
// a failure message that names neither the file nor the reason.
void PrintNote(Sink& sink, const std::string& subject, int error);

}  // namespace prepqdm
