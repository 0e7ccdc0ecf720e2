// Conversions at the Windows boundary. Inside, the program keeps names and
// paths as UTF-8; the system takes UTF-16, and the console and the log take
// the ANSI code page.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace prepqdm {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// UTF-8 text as the ANSI code page shows it. A character the code page
// lacks becomes '?' (no best-fit look-alike); a byte that is
// not part of valid UTF-8 (a symbol name is a byte string) is taken as a
// character of the code page itself, so such names come out as they are.
std::string AnsiFromUtf8(std::string_view utf8);

// Appends `argument` to a command line, quoted so that the C runtime's
// parser of the child gives it back unchanged (backslashes double only
// before a quote).
void AppendQuotedArgument(std::wstring& line, const std::wstring& argument);

// The errno value that the C runtime gives for a system error code.
int ErrnoFromSystemError(DWORD error);

// HRESULT_FROM_WIN32.
int32_t StatusFromSystemError(DWORD error);

// Volume serial number and file index of an open file; false for a handle
// that has none (a device). One GetFileInformationByHandle, the cheapest
// query that gives both.
bool HandleIdentity(HANDLE handle, uint64_t* volume, uint64_t* index);
// The same from what that query gave.
void IdentityFromInformation(const BY_HANDLE_FILE_INFORMATION& info, uint64_t* volume, uint64_t* index);
// The file index alone, as HandleIdentity gives it (0 when the file system
// keeps none): one query that does not ask for the volume serial number,
// which under Wine is a call into another process.
uint64_t FileIndex(HANDLE handle);
struct MappedFile;
// Whether a file this run mapped has the identity (volume, index): the
// mapping took its index, and its volume is asked for, from the handle the
// mapping holds, only when the indexes agree.
bool MappedFileHasIdentity(const MappedFile& file, uint64_t volume, uint64_t index);

struct Mappings;
// Whether the file at `path` is one this run holds mapped.
bool IsMappedByThisRun(const Mappings& mappings, const std::string& path);

}  // namespace prepqdm
