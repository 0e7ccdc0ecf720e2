// A name is resolved against the working directory first; when that cannot
// be mapped, each search path is tried in turn (newest -L first). The same
// full path is read once however often it is named. A file shorter than an
// object can be is passed over silently; what is left is an archive or an
// ELF object by its first bytes, anything else is an error.
#include "elf/input_files.h"

#include <cstring>
#include <string_view>

#include "elf/archive_reader.h"
#include "elf/ar_format.h"
#include "elf/elf_format.h"
#include "elf/elf_reader.h"
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

// Maps `path`, or else the name as found under one of the search paths.
// Prints the failure when neither can be mapped.
Status MapInput(Mappings& mappings, Sink& console, const InputSearch& search, const std::string& token,
                const std::string& path, MappedFile** file) {
  Status first = MapFile(mappings, path, file);
  if (first == kOk) return kOk;
  if (search.search_paths.empty()) {
    Print(console, "***Error: Could not map in file \"%s\". Error 0x%08X\n", token.c_str(),
          static_cast<uint32_t>(first));
    return first;
  }
  for (const std::string& directory : search.search_paths) {
    std::string candidate = FullPath(directory + "/" + token).value_or(std::string());
    if (MapFile(mappings, candidate, file) == kOk) return kOk;
  }
  Print(console, "***Error: Could not map in file \"%s\" in the provided paths. Error 0x%08X\nSearched in:\n",
        token.c_str(), static_cast<uint32_t>(first));
  for (const std::string& directory : search.search_paths) Print(console, "   %s\n", directory.c_str());
  return first;
}

// The output file named as an input: a previous export object is passed
// over, anything else would be destroyed by this run and is refused.
Status PassOverOutput(Mappings& mappings, Sink& console, const InputSearch& search, const std::string& token,
                      const std::string& path) {
  MappedFile* file = nullptr;
  bool export_object = true;  // nothing there yet, or too short to be read as an object
  if (IdentifyFile(path) && MapFile(mappings, path, &file) == kOk) {
    if (file->size >= kMinimumObjectSize) {
      const ElfImage image{file->view, static_cast<uint32_t>(file->size)};
      export_object = std::memcmp(file->view, "\x7F" "ELF", 4) == 0 && ParseElfImage(image.data, image.size) == 0 &&
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

}  // namespace

Status LoadInput(InputFiles& inputs, Mappings& mappings, Sink& console, const InputSearch& search,
                 const std::string& token) {
  // A path that does not fit the classic buffer stays empty: the mapping of
  // it fails and the search paths are still tried.
  std::string path = FullPath(token).value_or(std::string());
  if (!path.empty() && inputs.paths.count(path)) return kOk;
  // An empty path has no extension, so the name as written decides then:
  // a linker command file is never opened, however long its path.
  if (IsLinkerCommandFile(path.empty() ? std::string_view(token) : std::string_view(path))) {
    Print(console, "PrepQDM - ignoring lnk/ld \"%s\"\n", token.c_str());
    return kOk;
  }
  // The same file, not the same spelling: a case-sensitive file system may
  // hold both EXPORTS.o and Exports.o.
  if (!path.empty() && SameFile(path, search.output_path))
    return PassOverOutput(mappings, console, search, token, path);

  MappedFile* file = nullptr;
  Status status = MapInput(mappings, console, search, token, path, &file);
  if (status != kOk) return status;
  inputs.read.push_back(file->path);

  if (file->size < kMinimumObjectSize) {
    ReleaseMappedFile(file);
    return kOk;
  }
  // A small input is read through, an object at registration: mapped at once.
  PrefaultPages(*file, file->view, file->size);
  // Remembered before registration, which may drop the creator's reference.
  std::string opened_path = file->path;
  if (std::memcmp(file->view, kArchiveMagic, kArchiveMagicSize) == 0) {
    status = ReadArchive(inputs.registry, console, file);
  } else if (std::memcmp(file->view, "\x7F" "ELF", 4) == 0) {
    status = RegisterMappedObject(inputs.registry, console, file);
  } else {
    Print(console, "***Error: Unknown file type \"%s\". Return -1\n", token.c_str());
    return -1;
  }
  if (status != kOk) return status;
  inputs.files.insert(inputs.files.begin(), file);
  inputs.paths.insert(std::move(opened_path));
  return kOk;
}

}  // namespace prepqdm
