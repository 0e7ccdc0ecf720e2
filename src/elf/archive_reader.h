// Walks an `ar` archive and registers every object member.
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>

#include "host/output.h"
#include "host/status.h"

namespace prepqdm {

struct InputRegistry;
struct MappedFile;

// Registers every object member of `archive`. Prints its own message on
// failure.
Status ReadArchive(InputRegistry& registry, Sink& console, MappedFile* archive);

// One member met by WalkArchive. `header` is its 60-byte header, `data` its
// `size` bytes (both inside the mapping). `name` is the resolved name, empty
// for the symbol index, the long-name table and an unresolvable reference.
struct ArchiveMember {
  const uint8_t* header = nullptr;
  uint64_t header_offset = 0;
  uint8_t* data = nullptr;
  uint64_t size = 0;
  std::string_view name;
  bool long_name_table = false;
};

// The check that ended a walk early, for words beyond its message.
enum class ArchiveCheck {
  kNone,
  kTooSmall,   // the file holds less than the magic and one member header
  kHeaderEnd,  // `ar_fmag` is not 0x60 0x0A
  kZeroSize,   // `ar_size` reads as 0
  kBadSize,    // `ar_size` is negative or has other bytes after its digits
  kPastEnd,    // `ar_size` runs past the end of the file
  kLongNames,  // the members' long names take too long to read
};

struct ArchiveStop {
  ArchiveCheck check = ArchiveCheck::kNone;
  const uint8_t* header = nullptr;  // the failing member's header; null for kTooSmall
  uint64_t header_offset = 0;
  std::string_view name;  // the member's name, when the walk read that far
  uint64_t size = 0;      // kPastEnd: what `ar_size` gives
  uint64_t available = 0; // kPastEnd: the bytes after the header; kTooSmall: the file's size
};

// The walk behind ReadArchive: checks each header as ReadArchive does
// (printing the same messages on `console`) and hands every member to
// `visit`; a non-zero result of `visit` ends the walk and is returned. A
// header that fails its checks is described in *stop, when given.
Status WalkArchive(Sink& console, MappedFile* archive, const std::function<Status(const ArchiveMember&)>& visit,
                   ArchiveStop* stop = nullptr);

// The line that follows the message of a member that stops the run:
// "  note: member of <archive>, header at byte <offset>".
void NoteArchiveMember(Sink& console, const char* archive, uint64_t header_offset);

// Whether an archive member's name marks it as an object (util.o, UTIL.O).
bool IsObjectMemberName(std::string_view name);

}  // namespace prepqdm
