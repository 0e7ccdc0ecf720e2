// The `ar` archive format as this program reads and writes it. After the
// 8-byte global header "!<arch>\n" come members, each a 60-byte ASCII header
// followed by its data, padded to an even length. Header fields are text,
// padded with spaces: name, date, uid, gid, mode and size, then the two bytes
// 0x60 0x0A.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace prepqdm {

constexpr char kArchiveMagic[] = "!<arch>\n";
constexpr uint64_t kArchiveMagicSize = 8;
constexpr uint64_t kArchiveMemberHeaderSize = 60;

// A field of the member header: where it starts and how wide it is.
struct ArField {
  size_t offset;
  size_t width;
};

struct ArMemberHeader {
  static constexpr ArField kName{0, 16};
  static constexpr ArField kDate{16, 12};
  static constexpr ArField kUid{28, 6};
  static constexpr ArField kGid{34, 6};
  static constexpr ArField kMode{40, 8};
  static constexpr ArField kSize{48, 10};
  static constexpr ArField kEnd{58, 2};  // 0x60 0x0A
};

static_assert(ArMemberHeader::kEnd.offset + ArMemberHeader::kEnd.width == kArchiveMemberHeaderSize);

constexpr char kArchiveMemberEnd[] = "\x60\n";

// What a written member header says. Numbers are decimal in the header, the
// mode octal.
struct ArMemberFields {
  std::string_view name;  // as stored: "/" for the symbol index, "name/" for a member
  unsigned long long date = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;
  uint64_t size = 0;  // data bytes, without the padding byte
};

// The 60 bytes of a member header: each field's text padded with spaces to
// its width (and cut to it: callers keep their values within the widths),
// then the end mark.
std::string ArMemberHeaderText(const ArMemberFields& fields);

}  // namespace prepqdm
