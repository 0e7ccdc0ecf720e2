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

// The walk behind ReadArchive: checks each header as ReadArchive does
// (printing the same messages on `console`) and hands every member to
// `visit`; a non-zero result of `visit` ends the walk and is returned.
Status WalkArchive(Sink& console, MappedFile* archive, const std::function<Status(const ArchiveMember&)>& visit);

// Whether an archive member's name marks it as an object (util.o, UTIL.O).
bool IsObjectMemberName(std::string_view name);

}  // namespace prepqdm
