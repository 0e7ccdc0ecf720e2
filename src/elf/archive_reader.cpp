// The `ar` archive walk (the header layout is in ar_format.h). Short names
// end with '/'; "//" is the long-name table
// (names ending with '/'), referenced from later headers as '/' and a decimal
// offset; "/" is the symbol index, which is skipped: every member whose name
// marks it as an object is opened, needed or not.
//
// A member's size comes from its header and is checked against what remains
// of the file before its data is touched, so a damaged or truncated archive
// is reported instead of being read past its end. Long names are charged to
// a ReadBudget, as every member may be named through the same long entry.
//
// A member that stops the walk gets a note after its message naming the
// archive and the offset of the member's header: the messages themselves
// name only the archive, or only the member.
//
// Nothing of the archive's own is needed after the walk (a registered member
// keeps a copy of its name), so once the walk is over the whole archive is
// done with: the symbol index, other members that are not objects and the
// long-name table give their pages back to the file, as object members did
// when they were registered.
#include "elf/archive_reader.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "elf/ar_format.h"
#include "elf/object_module.h"
#include "elf/read_budget.h"

namespace prepqdm {

namespace {

constexpr uint64_t kGlobalHeaderSize = kArchiveMagicSize;
constexpr uint64_t kMemberHeaderSize = kArchiveMemberHeaderSize;
constexpr size_t kNameField = ArMemberHeader::kName.offset;
constexpr size_t kNameFieldSize = ArMemberHeader::kName.width;
constexpr size_t kSizeField = ArMemberHeader::kSize.offset;
constexpr size_t kSizeFieldSize = ArMemberHeader::kSize.width;
constexpr size_t kMagicField = ArMemberHeader::kEnd.offset;

bool IsBlank(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A decimal number as the C library's conversion reads it: leading blanks,
// an optional sign, then digits up to the first other byte. `used` is the
// number of bytes that took part (0 when no digit was found).
struct Decimal {
  int64_t value = 0;
  size_t used = 0;
};

Decimal ReadDecimal(const uint8_t* field, size_t length) {
  size_t i = 0;
  while (i < length && IsBlank(field[i])) ++i;
  bool negative = false;
  if (i < length && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  size_t first_digit = i;
  int64_t value = 0;
  // Fields are at most 16 bytes; clamp long ones rather than overflow.
  while (i < length && field[i] >= '0' && field[i] <= '9') {
    if (value < (int64_t{1} << 40)) value = value * 10 + (field[i] - '0');
    ++i;
  }
  Decimal result;
  if (i == first_digit) return result;
  result.value = negative ? -value : value;
  result.used = i;
  return result;
}

}  // namespace

// An object member's name has a '.' somewhere after its first byte, and the
// byte after the last such '.' is 'o' or 'O' (util.o, UTIL.O, util.obj).
bool IsObjectMemberName(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return false;
  return name[dot + 1] == 'o' || name[dot + 1] == 'O';
}

void NoteArchiveMember(Sink& console, const char* archive, uint64_t header_offset) {
  Print(console, "  note: member of %s, header at byte %llu\n", archive,
        static_cast<unsigned long long>(header_offset));
}

Status ReadArchive(InputRegistry& registry, Sink& console, MappedFile* archive) {
  Status status = WalkArchive(console, archive, [&](const ArchiveMember& member) -> Status {
    if (member.long_name_table || member.name.empty() || !IsObjectMemberName(member.name)) return kOk;
    // The reader goes through most of the member.
    InputResidency::BeforeReading(*archive, member.data, member.size);
    Status opened =
        OpenObjectModule(registry, console, archive, member.name, member.data, static_cast<uint32_t>(member.size));
    // The reader's message names the member only.
    if (opened != kOk) NoteArchiveMember(console, archive->path.c_str(), member.header_offset);
    return opened;
  });
  // Object members were done with as they were entered; the rest now.
  registry.residency.Done(*archive, archive->view, archive->size);
  return status;
}

Status WalkArchive(Sink& console, MappedFile* archive, const std::function<Status(const ArchiveMember&)>& visit,
                   ArchiveStop* stop) {
  const char* path = archive->path.c_str();
  ArchiveStop ignored;
  ArchiveStop& stopped = stop != nullptr ? *stop : ignored;
  stopped = ArchiveStop{};
  if (archive->size < kGlobalHeaderSize + kMemberHeaderSize) {
    Print(console, "***Error: file \"%s\" is too small to be useful. Return -1.\n", path);
    stopped.check = ArchiveCheck::kTooSmall;
    stopped.available = archive->size;
    return -1;
  }
  uint8_t* view = archive->view;
  uint64_t offset = kGlobalHeaderSize;
  uint64_t remaining = archive->size - kGlobalHeaderSize;
  const uint8_t* long_names = nullptr;
  uint64_t long_names_size = 0;
  // Every member may name itself through the same long entry.
  ReadBudget name_budget(archive->size);

  for (;;) {
    // At least one whole header remains here.
    const uint8_t* header = view + offset;
    // Each stop names the member's header after the message.
    auto stop_at = [&](ArchiveCheck check, std::string_view name, Status status) {
      NoteArchiveMember(console, path, offset);
      stopped.check = check;
      stopped.header = header;
      stopped.header_offset = offset;
      stopped.name = name;
      return status;
    };
    if (header[kMagicField] != 0x60 || header[kMagicField + 1] != 0x0A) {
      Print(console, "***Error: file \"%s\" has invalid library file format. Return -1\n", path);
      return stop_at(ArchiveCheck::kHeaderEnd, {}, -1);
    }
    uint64_t data_offset = offset + kMemberHeaderSize;
    remaining -= kMemberHeaderSize;

    // Backwards over the name field, offset 0 excluded: trailing spaces are
    // padding, and the first '/' met is the one that counts.
    const uint8_t* field = header + kNameField;
    size_t slash = 0;
    bool only_padding = true;
    for (size_t k = kNameFieldSize - 1; k >= 1; --k) {
      if (only_padding && field[k] == ' ') continue;
      only_padding = false;
      if (field[k] == '/') {
        slash = k;
        break;
      }
    }

    // The name before the size, so that a size that fails names its member.
    // A long name lies in an earlier member, already checked.
    std::string_view name;
    if (slash == 0) {
      bool symbol_index = only_padding || field[1] == 0;
      if (!symbol_index && long_names != nullptr) {
        Decimal reference = ReadDecimal(field + 1, kNameFieldSize - 1);
        if (reference.value >= 0 && static_cast<uint64_t>(reference.value) <= long_names_size) {
          const uint8_t* start = long_names + reference.value;
          size_t available = static_cast<size_t>(long_names_size - static_cast<uint64_t>(reference.value));
          const void* end = std::memchr(start, '/', available);
          size_t length = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - start) : available;
          if (!name_budget.Charge(uint64_t{length} + 1)) {
            Print(console, "***Error: Member names inside \"%s\" take too long to read. Return -1.\n", path);
            return stop_at(ArchiveCheck::kLongNames, {}, -1);
          }
          name = std::string_view(reinterpret_cast<const char*>(start), length);
        }
      }
    } else if (slash >= 2) {
      name = std::string_view(reinterpret_cast<const char*>(field), slash);
    }

    Decimal size_field = ReadDecimal(header + kSizeField, kSizeFieldSize);
    if (size_field.value == 0) {
      Print(console, "***Error: Invalid file size for file inside \"%s\".\n", path);
      return stop_at(ArchiveCheck::kZeroSize, name, -4);
    }
    bool size_well_formed = size_field.value > 0;
    for (size_t k = size_field.used; k < kSizeFieldSize; ++k) {
      if (header[kSizeField + k] != ' ') size_well_formed = false;
    }
    if (!size_well_formed) {
      Print(console, "***Error: Invalid member size inside \"%s\". Return -1.\n", path);
      return stop_at(ArchiveCheck::kBadSize, name, -1);
    }
    uint64_t size = static_cast<uint64_t>(size_field.value);
    if (size > remaining) {
      Print(console, "***Error: Member size runs past the end of file \"%s\". Return -1.\n", path);
      stopped.size = size;
      stopped.available = remaining;
      return stop_at(ArchiveCheck::kPastEnd, name, -1);
    }
    const uint8_t* data = view + data_offset;
    if (slash == 1) {
      long_names = data;
      long_names_size = size;
    }

    ArchiveMember member;
    member.header = header;
    member.header_offset = offset;
    member.data = view + data_offset;
    member.size = size;
    member.name = name;
    member.long_name_table = slash == 1;
    Status status = visit(member);
    if (status != kOk) return status;

    uint64_t padded = size + (size & 1);
    if (remaining <= padded) break;
    offset = data_offset + padded;
    remaining -= padded;
    if (remaining < kMemberHeaderSize) break;
  }
  return kOk;
}

}  // namespace prepqdm
