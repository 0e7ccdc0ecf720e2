#include "elf/ar_format.h"

#include <charconv>

namespace prepqdm {

namespace {

void AppendField(std::string& header, std::string_view text, ArField field) {
  std::string padded(text.substr(0, field.width));
  padded.resize(field.width, ' ');
  header += padded;
}

void AppendNumber(std::string& header, unsigned long long value, int base, ArField field) {
  char text[24];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text, value, base);
  AppendField(header, std::string_view(text, static_cast<size_t>(end.ptr - text)), field);
}

}  // namespace

std::string ArMemberHeaderText(const ArMemberFields& fields) {
  std::string header;
  header.reserve(kArchiveMemberHeaderSize);
  AppendField(header, fields.name, ArMemberHeader::kName);
  AppendNumber(header, fields.date, 10, ArMemberHeader::kDate);
  AppendNumber(header, fields.uid, 10, ArMemberHeader::kUid);
  AppendNumber(header, fields.gid, 10, ArMemberHeader::kGid);
  AppendNumber(header, fields.mode, 8, ArMemberHeader::kMode);
  AppendNumber(header, fields.size, 10, ArMemberHeader::kSize);
  header += kArchiveMemberEnd;
  return header;
}

}  // namespace prepqdm
