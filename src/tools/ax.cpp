// Stand-in for the toolchain archiver. Only "ax -ts FILE" is supported: it
// gives the `ar` archive FILE a symbol index of its own making, in the layout
// GNU `ar s` writes, so no other archiver is needed on any host.
//
// The index is the first member, named "/": a big-endian count, one
// big-endian member-header offset per symbol, then the symbols' names, each
// with its NUL, padded to an even size. It lists every defined global or weak
// symbol of every ELF object member in member order. An index already there
// is replaced; every other member is copied unchanged. The new archive is
// written beside FILE and renamed over it, so FILE is never left half
// rewritten.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "elf/ar_format.h"
#include "elf/archive_reader.h"
#include "elf/elf_image.h"
#include "elf/elf_reader.h"
#include "host/entry.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/staged_file.h"

namespace {

using namespace prepqdm;

struct Member {
  const uint8_t* header;
  uint64_t size;  // data bytes, without padding
  std::vector<std::string> symbols;
};

// The defined global and weak symbols of an object member, in table order.
// The reader converts a big-endian image in place, so it reads a copy: the
// member itself is written out unchanged.
std::vector<std::string> DefinedSymbols(const uint8_t* data, uint64_t size) {
  std::vector<std::string> names;
  if (size < kMinimumObjectSize || size > UINT32_MAX || std::memcmp(data, "\x7F" "ELF", 4) != 0) return names;
  std::vector<uint8_t> copy(data, data + size);
  const ElfImage image{copy.data(), static_cast<uint32_t>(size)};
  if (ParseElfImage(image.data, image.size) != 0) return names;
  for (uint32_t s = 1; s < image.SectionCount(); ++s) {
    std::optional<SectionHeader> symtab = image.Section(s);
    if (!symtab || symtab->sh_type != SHT_SYMTAB || (symtab->sh_flags & SHF_SIZE_PREFIXED)) continue;
    const uint32_t entry_size = SymbolEntrySize(*symtab);
    for (uint32_t i = 1; const uint8_t* entry = image.Entry(*symtab, entry_size, i, kSymbolSize); ++i) {
      ElfSymbol symbol = LoadAt<ElfSymbol>(entry);
      uint8_t binding = SymbolBinding(symbol.st_info);
      if ((binding != STB_GLOBAL && binding != STB_WEAK) || symbol.st_shndx == SHN_UNDEF) continue;
      if (std::optional<std::string_view> name = image.StringAt(symtab->sh_link, symbol.st_name))
        names.emplace_back(*name);
    }
  }
  return names;
}

void PutBigEndian(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

std::string Field(const std::string& text, ArField field) {
  std::string padded = text;
  padded.resize(field.width, ' ');
  return padded;
}

int Fail(const std::string& path, const char* what, int error) {
  std::fprintf(stderr, "ax: %s: %s%s%s\n", path.c_str(), what, error ? ": " : "", error ? std::strerror(error) : "");
  return 1;
}

}  // namespace

prepqdm::Status prepqdm::ProgramMain(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "-ts") != 0) {
    std::fprintf(stderr, "usage: ax -ts <archive>\n");
    return 2;
  }
  const std::string path = argv[2];
  // Read whole and let go of: the file is about to be replaced.
  Mappings mappings;
  MappedFile* mapped = nullptr;
  if (MapFile(mappings, path, &mapped) != kOk) return Fail(path, "cannot be read", 0);
  std::vector<uint8_t> bytes(mapped->view, mapped->view + mapped->size);
  ReleaseMappedFile(mapped);
  MappedFile archive;
  archive.path = path;
  archive.view = bytes.data();
  archive.size = bytes.size();
  MappedFile* file = &archive;
  if (file->size < kArchiveMagicSize || std::memcmp(file->view, kArchiveMagic, kArchiveMagicSize) != 0)
    return Fail(path, "not an ar archive", 0);

  std::vector<Member> members;
  std::string console;
  Sink messages{nullptr, &console};
  Status status = WalkArchive(messages, file, [&](const ArchiveMember& member) -> Status {
    const bool index = !member.long_name_table && member.name.empty() && member.header[0] == '/' &&
                       member.header[1] == ' ';
    if (index) return kOk;  // replaced by the new one
    Member kept{member.header, member.size, {}};
    if (!member.long_name_table && !member.name.empty()) kept.symbols = DefinedSymbols(member.data, member.size);
    members.push_back(std::move(kept));
    return kOk;
  });
  if (status != kOk) return Fail(path, "damaged archive", 0);

  // The index's size decides where every member lands, so it comes first.
  uint64_t count = 0, name_bytes = 0;
  for (const Member& m : members)
    for (const std::string& name : m.symbols) ++count, name_bytes += name.size() + 1;
  // An even size: a NUL after the last name rather than a padding byte.
  const bool odd = ((4 + 4 * count + name_bytes) & 1) != 0;
  const uint64_t index_size = 4 + 4 * count + name_bytes + (odd ? 1 : 0);
  uint64_t at = kArchiveMagicSize + kArchiveMemberHeaderSize + index_size;
  if (at > UINT32_MAX) return Fail(path, "too large for a symbol index", 0);
  std::string offsets, names;
  for (const Member& m : members) {
    for (const std::string& name : m.symbols) {
      PutBigEndian(offsets, static_cast<uint32_t>(at));
      names += name;
      names += '\0';
    }
    at += kArchiveMemberHeaderSize + m.size + (m.size & 1);
  }
  if (at > UINT32_MAX) return Fail(path, "too large for a symbol index", 0);

  std::string index = kArchiveMagic;
  index += Field("/", ArMemberHeader::kName) + Field("0", ArMemberHeader::kDate) + Field("0", ArMemberHeader::kUid) +
           Field("0", ArMemberHeader::kGid) + Field("0", ArMemberHeader::kMode) +
           Field(std::to_string(index_size), ArMemberHeader::kSize) + "`\n";
  PutBigEndian(index, static_cast<uint32_t>(count));
  index += offsets;
  index += names;
  if (odd) index += '\0';

  StagedFile out;
  if (int error = out.Open(mappings, path)) return Fail(path, "cannot be written", error);
  bool written = std::fwrite(index.data(), 1, index.size(), out.stream()) == index.size();
  for (const Member& m : members) {
    const uint64_t padded = kArchiveMemberHeaderSize + m.size + (m.size & 1);
    // The header, the data and its padding byte are contiguous in the input,
    // except for a final odd member whose padding the file may lack.
    uint64_t available = file->size - static_cast<uint64_t>(m.header - file->view);
    uint64_t copied = padded <= available ? padded : available;
    written = written && std::fwrite(m.header, 1, copied, out.stream()) == copied;
    if (copied < padded) written = written && std::fputc('\n', out.stream()) != EOF;
  }
  if (!written) return Fail(path, "cannot be written", errno);
  if (int error = out.Commit()) return Fail(path, "cannot be replaced", error);
  out.Keep();
  return 0;
}
