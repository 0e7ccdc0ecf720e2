// Stand-in for the toolchain archiver. Only "ax -ts FILE" is supported (with
// --version and --help): it gives the `ar` archive FILE a symbol index of its
// own making, in the layout GNU `ar s` writes, so no other archiver is needed
// on any host.
//
// The index is the first member, named "/": a big-endian count, one
// big-endian member-header offset per symbol, then the symbols' names, each
// with its NUL, padded to an even size. It lists every defined global or weak
// symbol of every ELF object member in member order. An index already there
// is replaced; every other member is copied unchanged. The new archive is
// written beside FILE and renamed over it, so FILE is never left half
// rewritten.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/version.h"
#include "elf/ar_format.h"
#include "elf/archive_reader.h"
#include "elf/elf_image.h"
#include "elf/elf_reader.h"
#include "host/entry.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/staged_file.h"
#include "output/output_file.h"

namespace {

using namespace prepqdm;

constexpr char kUsage[] =
    "usage: ax -ts <archive>\n"
    "  gives the archive a symbol index (replacing one it has), as GNU ar s does\n"
    "  ax --version, ax --help\n";

// An archive member kept in the new archive, and how many index entries it
// gives.
struct Member {
  uint64_t header_offset;
  uint64_t size;  // data bytes, without padding
  uint8_t* data;
  uint64_t symbol_count = 0;
  bool object = false;  // an ELF member the reader accepted
};

// Calls visit(name) for each defined global or weak symbol of a member the
// reader has accepted (so in host order), in table order.
template <class Visit>
void ForEachDefinedSymbol(const Member& member, Visit&& visit) {
  const ElfImage image{member.data, static_cast<uint32_t>(member.size)};
  for (uint32_t s = 1; s < image.SectionCount(); ++s) {
    std::optional<SectionHeader> symtab = image.Section(s);
    if (!symtab || symtab->sh_type != SHT_SYMTAB || (symtab->sh_flags & SHF_SIZE_PREFIXED)) continue;
    const uint32_t entry_size = SymbolEntrySize(*symtab);
    for (uint32_t i = 1; const uint8_t* entry = image.Entry(*symtab, entry_size, i, kSymbolSize); ++i) {
      ElfSymbol symbol = LoadAt<ElfSymbol>(entry);
      uint8_t binding = SymbolBinding(symbol.st_info);
      if ((binding != STB_GLOBAL && binding != STB_WEAK) || symbol.st_shndx == SHN_UNDEF) continue;
      if (std::optional<std::string_view> name = image.StringAt(symtab->sh_link, symbol.st_name)) visit(*name);
    }
  }
}

void PutBigEndian(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

int Fail(const std::string& path, const char* what, int error) {
  std::fprintf(stderr, "ax: %s: %s%s%s\n", path.c_str(), what, error ? ": " : "", error ? std::strerror(error) : "");
  return 1;
}

// Copies `length` bytes of the file from `offset` to `out`, as the file
// holds them: the view may have been converted in place.
bool CopyFromFile(const MappedFile& file, uint64_t offset, uint64_t length, FILE* out) {
  std::vector<uint8_t> buffer(std::min<uint64_t>(length, uint64_t{1} << 20));
  while (length != 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
    if (!ReadFileAt(file, offset, buffer.data(), piece) || std::fwrite(buffer.data(), 1, piece, out) != piece)
      return false;
    offset += piece;
    length -= piece;
  }
  return true;
}

}  // namespace

prepqdm::Status prepqdm::ProgramMain(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs(VersionLine("ax").c_str(), stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 3 || std::strcmp(argv[1], "-ts") != 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string path = argv[2];
  // The archive is read through a private view, which the reader may convert
  // in place; the members are copied out from the file itself. It is mapped
  // in a set of its own: the new archive goes to another file, renamed over
  // this one only once the view is gone.
  Mappings read;
  MappedFile* file = nullptr;
  if (MapFile(read, path, &file) != kOk) return Fail(path, "cannot be read", 0);
  struct Unmap {
    MappedFile*& file;
    ~Unmap() {
      if (file != nullptr) ReleaseMappedFile(file);
    }
  } unmap{file};
  if (file->size < kArchiveMagicSize || std::memcmp(file->view, kArchiveMagic, kArchiveMagicSize) != 0)
    return Fail(path, "not an ar archive", 0);
  // A big stub is read twice, and never needs to be resident whole.
  LongRead reading(file);

  // The index's size decides where every member lands, so the symbols are
  // counted first and read again to be written.
  std::vector<Member> members;
  uint64_t count = 0, name_bytes = 0;
  std::string console;
  Sink messages{nullptr, &console};
  Status status = WalkArchive(messages, file, [&](const ArchiveMember& member) -> Status {
    const bool index = !member.long_name_table && member.name.empty() && member.header[0] == '/' &&
                       member.header[1] == ' ';
    if (index) return kOk;  // replaced by the new one
    Member kept{static_cast<uint64_t>(member.header - file->view), member.size, member.data};
    kept.object =
        !member.long_name_table && !member.name.empty() && IsElfObject(member.data, member.size, &file->written);
    if (kept.object) {
      ForEachDefinedSymbol(kept, [&](std::string_view name) {
        ++kept.symbol_count;
        name_bytes += name.size() + 1;
        reading.Step();
      });
    }
    count += kept.symbol_count;
    members.push_back(kept);
    return kOk;
  });
  if (status != kOk) return Fail(path, "damaged archive", 0);

  // An even size: a NUL after the last name rather than a padding byte.
  const bool odd = ((4 + 4 * count + name_bytes) & 1) != 0;
  const uint64_t index_size = 4 + 4 * count + name_bytes + (odd ? 1 : 0);
  uint64_t at = kArchiveMagicSize + kArchiveMemberHeaderSize + index_size;
  if (at > UINT32_MAX) return Fail(path, "too large for a symbol index", 0);
  std::vector<uint32_t> member_offsets;
  for (const Member& m : members) {
    member_offsets.push_back(static_cast<uint32_t>(at));
    at += kArchiveMemberHeaderSize + m.size + (m.size & 1);
  }
  if (at > UINT32_MAX) return Fail(path, "too large for a symbol index", 0);

  // The index's header says nothing but its size.
  std::string head = kArchiveMagic + ArMemberHeaderText({"/", 0, 0, 0, 0, index_size});
  PutBigEndian(head, static_cast<uint32_t>(count));

  // Nothing maps the new file, so the read set is not asked about it.
  Mappings none;
  StagedFile out;
  if (int error = out.Open(none, path)) return Fail(path, "cannot be written", error);
  // The file is unbuffered: the sink gathers the small writes.
  ByteSink sink(out.stream());
  sink.Append(head.data(), head.size());
  for (size_t m = 0; m < members.size(); ++m) {
    std::string offset;
    PutBigEndian(offset, member_offsets[m]);
    for (uint64_t i = 0; i < members[m].symbol_count; ++i) sink.Append(offset.data(), 4);
  }
  for (const Member& m : members) {
    if (!m.object) continue;
    ForEachDefinedSymbol(m, [&](std::string_view name) {
      sink.Append(name.data(), name.size());
      sink.AppendZeros(1);
      reading.Step();
    });
  }
  if (odd) sink.AppendZeros(1);
  bool written = sink.Finish();
  for (const Member& m : members) {
    const uint64_t padded = kArchiveMemberHeaderSize + m.size + (m.size & 1);
    // The header, the data and its padding byte are contiguous in the input,
    // except for a final odd member whose padding the file may lack.
    uint64_t available = file->size - m.header_offset;
    uint64_t copied = padded <= available ? padded : available;
    written = written && CopyFromFile(*file, m.header_offset, copied, out.stream());
    if (copied < padded) written = written && std::fputc('\n', out.stream()) != EOF;
  }
  if (!written) return Fail(path, "cannot be written", errno);
  ReleaseMappedFile(file);
  file = nullptr;
  if (int error = out.Commit()) return Fail(path, "cannot be replaced", error);
  out.Keep();
  return 0;
}
