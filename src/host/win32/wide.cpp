#include "host/win32/wide.h"

#include <winternl.h>

#include <cerrno>
#include <cstdint>

namespace prepqdm {

// Each name crosses the boundary several times per input, so each crossing
// is one call into the system, into a buffer that is large enough whatever
// the text: a UTF-8 byte never makes more than one UTF-16 unit, and a UTF-16
// unit never more than three UTF-8 bytes.
std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  std::wstring wide(utf8.size(), L'\0');
  int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                   static_cast<int>(wide.size()));
  wide.resize(static_cast<size_t>(length));
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  std::string utf8(3 * wide.size(), '\0');
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                                   static_cast<int>(utf8.size()), nullptr, nullptr);
  utf8.resize(static_cast<size_t>(length));
  return utf8;
}

namespace {

// The length of the valid UTF-8 sequence at text[0], or 0.
size_t SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
  if (length == 0 || length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  // Overlong forms and surrogates are not valid UTF-8.
  if (length == 2 && lead < 0xC2) return 0;
  if (length == 3 && lead == 0xE0 && byte(1) < 0xA0) return 0;
  if (length == 3 && lead == 0xED && byte(1) >= 0xA0) return 0;
  if (length == 4 && (lead > 0xF4 || (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90)))
    return 0;
  return length;
}

}  // namespace

std::string AnsiFromUtf8(std::string_view utf8) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(utf8);
  std::wstring wide;
  wide.reserve(utf8.size());
  while (!utf8.empty()) {
    size_t length = SequenceLength(utf8);
    if (length == 0) {
      wchar_t unit = L'?';
      MultiByteToWideChar(CP_ACP, 0, utf8.data(), 1, &unit, 1);
      wide += unit;
      length = 1;
    } else {
      wide += Widen(utf8.substr(0, length));
    }
    utf8.remove_prefix(length);
  }
  // No best fit: 'l' for an l with stroke would name another file.
  const DWORD flags = WC_NO_BEST_FIT_CHARS;
  int length =
      WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, "?", nullptr);
  std::string ansi(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide.data(), static_cast<int>(wide.size()), ansi.data(), length, "?", nullptr);
  return ansi;
}

void AppendQuotedArgument(std::wstring& line, const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') line.append(2 * backslashes + 1, L'\\');
    else line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

int ErrnoFromSystemError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_WRITE_PROTECT:
    case ERROR_CANNOT_MAKE: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_BAD_EXE_FORMAT: return ENOEXEC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DIRECTORY: return ENOTDIR;
    default: return EIO;
  }
}

int32_t StatusFromSystemError(DWORD error) {
  return static_cast<int32_t>(static_cast<int32_t>(error) <= 0 ? error : ((error & 0xFFFFu) | 0x80070000u));
}

bool HandleIdentity(HANDLE handle, uint64_t* volume, uint64_t* index) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  IdentityFromInformation(info, volume, index);
  return true;
}

void IdentityFromInformation(const BY_HANDLE_FILE_INFORMATION& info, uint64_t* volume, uint64_t* index) {
  *volume = info.dwVolumeSerialNumber;
  *index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// GetFileInformationByHandle takes its index from this class of the native
// query, which no Win32 call offers alone.
uint64_t FileIndex(HANDLE handle) {
  IO_STATUS_BLOCK status;
  FILE_INTERNAL_INFORMATION info;
  if (NtQueryInformationFile(handle, &status, &info, sizeof info, FileInternalInformation) < 0) return 0;
  return static_cast<uint64_t>(info.IndexNumber.QuadPart);
}

}  // namespace prepqdm
