// A name is resolved against the working directory first; when that cannot
// be mapped, each search path is tried in turn (newest -L first). The same
// full path is read once however often it is named. A file shorter than an
// object can be is passed over silently; what is left is an archive or an
// ELF object by its first bytes, anything else is an error.
#include "elf/input_files.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "elf/archive_reader.h"
#include "elf/ar_format.h"
#include "elf/elf_format.h"
#include "elf/elf_reader.h"
#include "elf/elf_swap.h"
#include "elf/lto_objects.h"
#include "host/paths.h"

namespace prepqdm {

namespace {

// The extension: the text from the last '.' of the last path component.
std::string_view Extension(std::string_view path) {
  std::string_view name = FileNamePart(path);
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

bool IsLinkerCommandFile(std::string_view path) {
  std::string_view extension = Extension(path);
  return EqualsIgnoreAsciiCase(extension, ".ld") || EqualsIgnoreAsciiCase(extension, ".lnk");
}

// When `path` could not be mapped (`first` says why), the name as found
// under one of the search paths. Prints the failure when none can be mapped.
Status MapFromSearchPaths(Mappings& mappings, Sink& console, const InputSearch& search, const std::string& token,
                          Status first, MappedFile** file) {
  if (search.search_paths.empty()) {
    Print(console, "***Error: Could not map in file \"%s\". Error 0x%08X\n", token.c_str(),
          static_cast<uint32_t>(first));
    return first;
  }
  for (const std::string& directory : search.search_paths) {
    std::string candidate = FullPath(directory + "/" + token, kInputPathLimit).value_or(std::string());
    if (MapFile(mappings, candidate, file) == kOk) return kOk;
  }
  Print(console, "***Error: Could not map in file \"%s\" in the provided paths. Error 0x%08X\nSearched in:\n",
        token.c_str(), static_cast<uint32_t>(first));
  for (const std::string& directory : search.search_paths) Print(console, "   %s\n", directory.c_str());
  return first;
}

// The output file named as an input (`file` is its mapping, null when it
// could not be mapped): a previous export object is passed over, anything
// else would be destroyed by this run and is refused.
Status PassOverOutput(Sink& console, const InputSearch& search, const std::string& token, MappedFile* file) {
  bool export_object = true;  // nothing there yet, or too short to be read as an object
  if (file != nullptr) {
    if (file->size >= kMinimumObjectSize) {
      const ElfImage image{file->view, static_cast<uint32_t>(file->size)};
      export_object = IsElfObject(image.data, image.size) &&
                      search.is_export_object && search.is_export_object(image);
    }
    ReleaseMappedFile(file);
  }
  if (!export_object) {
    Print(console, "***Error: Output file \"%s\" is also an input and is not an export object. Return -1.\n",
          search.output_path.c_str());
    return -1;
  }
  Print(console, "PrepQDM - ignoring output file \"%s\"\n", token.c_str());
  return kOk;
}

// Where the reader rewrites a big-endian object when it converts it in place
// (the headers, the section header table, symbol and relocation tables), as
// offsets in the file; read from the file, not the view, so that none of
// those pages is mapped for reading first. Nothing for any other input, and
// for a damaged header, whose pages are just read.
InputResidency::Ranges ConvertedRanges(const MappedFile& file) {
  uint8_t bytes[kElfHeaderSize];
  if (!ReadFileAt(file, 0, bytes, sizeof bytes) || !HasElfMagic(bytes, sizeof bytes) || IsLittleEndianIdent(bytes))
    return {};
  ElfHeader header = LoadAt<ElfHeader>(bytes);
  SwapElfHeader(header);
  const uint64_t entry_size = header.e_shentsize == 0 ? kSectionHeaderSize : header.e_shentsize;
  // Under extended numbering the count is in section header 0, as the
  // reader finds it.
  uint64_t count = header.e_shnum;
  if (count == 0 && header.e_shoff != 0) {
    SectionHeader first;
    if (!ReadFileAt(file, header.e_shoff, &first, sizeof first)) return {};
    SwapSectionHeader(first);
    count = first.sh_size;
  }
  const uint64_t table_bytes = entry_size * count;
  std::vector<uint8_t> table;
  InputResidency::Ranges rewritten = {{0, kElfHeaderSize}};
  if (count != 0 && entry_size >= kSectionHeaderSize && header.e_shoff < file.size &&
      table_bytes <= file.size - header.e_shoff) {
    try {
      table.resize(table_bytes);
      rewritten.reserve(count + 3);
    } catch (const std::bad_alloc&) {
      table.clear();
    }
  }
  if (!table.empty() && ReadFileAt(file, header.e_shoff, table.data(), table.size())) {
    rewritten.emplace_back(header.e_shoff, header.e_shoff + table_bytes);
    for (uint64_t i = 1; i < count; ++i) {
      SectionHeader section = LoadAt<SectionHeader>(table.data() + i * entry_size);
      SwapSectionHeader(section);
      if (!IsConvertedTable(section)) continue;
      if (section.sh_offset < file.size && section.sh_size <= file.size - section.sh_offset)
        rewritten.emplace_back(section.sh_offset, uint64_t{section.sh_offset} + section.sh_size);
    }
  }
  if (header.e_phnum != 0 && header.e_phoff < file.size) {
    const uint64_t program_size = header.e_phentsize == 0 ? kProgramHeaderSize : header.e_phentsize;
    const uint64_t program_end = std::min<uint64_t>(file.size, header.e_phoff + program_size * header.e_phnum);
    rewritten.emplace_back(header.e_phoff, program_end);
  }
  return rewritten;
}

}  // namespace

Status LoadInput(InputFiles& inputs, Mappings& mappings, Sink& console, const InputSearch& search,
                 const std::string& token) {
  // A path that does not fit the host's limit stays empty: the mapping of it
  // fails and the search paths are still tried.
  std::string path = FullPath(token, kInputPathLimit).value_or(std::string());
  Status status = kOk;
  if (!path.empty() && inputs.paths.count(path)) {
    inputs.passed_over.emplace_back(token, InputFiles::PassedOver::kRepeated);
    return kOk;
  }
  // An empty path has no extension, so the name as written decides then:
  // a linker command file is never opened, however long its path.
  if (IsLinkerCommandFile(path.empty() ? std::string_view(token) : std::string_view(path))) {
    Print(console, "PrepQDM - ignoring lnk/ld \"%s\"\n", token.c_str());
    inputs.passed_over.emplace_back(token, InputFiles::PassedOver::kLinkerCommandFile);
    return kOk;
  }
  // One open maps the file and tells what it is; only a name that cannot be
  // mapped is looked up again (it may still be the output: an empty or
  // unreadable file, a FIFO).
  MappedFile* file = nullptr;
  const Status first = MapFile(mappings, path, &file);
  // The same file, not the same spelling: a case-sensitive file system may
  // hold both EXPORTS.o and Exports.o. The output's identity was looked up
  // once for all inputs.
  if (!path.empty()) {
    const bool output = file != nullptr
                            ? SameFile(*file, search.output_path, search.output_identity)
                            : SameFile(path, IdentifyFile(path), search.output_path, search.output_identity);
    if (output) {
      status = PassOverOutput(console, search, token, file);
      if (status == kOk) inputs.passed_over.emplace_back(token, InputFiles::PassedOver::kOutput);
      return status;
    }
  }
  if (first != kOk) {
    status = MapFromSearchPaths(mappings, console, search, token, first, &file);
    if (status != kOk) return status;
  }
  inputs.read.push_back(file->path);

  if (file->size < kMinimumObjectSize) {
    ReleaseMappedFile(file);
    inputs.passed_over.emplace_back(token, InputFiles::PassedOver::kTooShort);
    return kOk;
  }
  // An input is read through, an object at registration.
  if (InputResidency::MapsAhead(file->size))
    InputResidency::BeforeReading(*file, file->view, file->size, ConvertedRanges(*file));
  // Remembered before registration, which may drop the creator's reference.
  std::string opened_path = file->path;
  if (std::memcmp(file->view, kArchiveMagic, kArchiveMagicSize) == 0) {
    status = ReadArchive(inputs.registry, console, file);
  } else if (HasElfMagic(file->view, file->size)) {
    status = RegisterMappedObject(inputs.registry, console, file, token);
  } else {
    Print(console, "***Error: Unknown file type \"%s\". Return -1\n", token.c_str());
    // clang -flto output: say what it is, since nothing else will.
    if (HasLlvmBitcodeMagic(file->view, file->size))
      Print(console, "  note: %s: %s\n", token.c_str(), kLlvmBitcodeWords);
    return -1;
  }
  if (status != kOk) return status;
  inputs.files.insert(inputs.files.begin(), file);
  inputs.paths.insert(std::move(opened_path));
  return kOk;
}

}  // namespace prepqdm
