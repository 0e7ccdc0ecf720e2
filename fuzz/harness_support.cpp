#include "harness_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/option_checks.h"
#include "driver/run_state.h"
#include "elf/elf_format.h"
#include "elf/elf_reader.h"
#include "elf/object_module.h"
#include "harnesses.h"
#include "output/export_object_writer.h"
#include "output/import_library.h"
#include "symbols/tracking_pass.h"

namespace fuzzing {

using prepqdm::RunState;

HeapMapping::HeapMapping(const uint8_t* data, size_t size, std::string path) : bytes(data, data + size) {
  file.path = std::move(path);
  file.size = size;
  file.view = bytes.data();
}

std::vector<std::string_view> SplitParts(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = rest.find(kPartSeparator);
    if (at == std::string_view::npos) break;
    parts.push_back(rest.substr(0, at));
    rest.remove_prefix(at + kPartSeparator.size());
  }
  parts.push_back(rest);
  return parts;
}

namespace {

constexpr char kPrefix[] = "prepqdm-fuzz-";

void RemoveFolder(const std::string& folder) {
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      unlink((folder + "/" + entry->d_name).c_str());
    }
    closedir(dir);
  }
  rmdir(folder.c_str());
}

// Folders of processes that no longer exist.
void RemoveStaleFolders(const std::string& base) {
  DIR* dir = opendir(base.c_str());
  if (!dir) return;
  std::vector<std::string> stale;
  while (dirent* entry = readdir(dir)) {
    if (strncmp(entry->d_name, kPrefix, sizeof kPrefix - 1) != 0) continue;
    long pid = strtol(entry->d_name + sizeof kPrefix - 1, nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(base + "/" + entry->d_name);
  }
  closedir(dir);
  for (const std::string& folder : stale) RemoveFolder(folder);
}

std::string ScratchBase() {
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

std::string& ScratchFolderForExit() {
  static std::string folder;
  return folder;
}

void RemoveScratchAtExit() { RemoveFolder(ScratchFolderForExit()); }

}  // namespace

Scratch& Scratch::Get() {
  static Scratch scratch;
  return scratch;
}

Scratch::Scratch() {
  std::string base = ScratchBase();
  RemoveStaleFolders(base);
  folder_ = base + "/" + kPrefix + std::to_string(getpid());
  if (mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) {
    fprintf(stderr, "cannot create %s: %s\n", folder_.c_str(), strerror(errno));
    abort();
  }
  ScratchFolderForExit() = folder_;
  atexit(RemoveScratchAtExit);
}

std::string Scratch::Path(std::string_view name) const { return folder_ + "/" + std::string(name); }

void Scratch::Clear() const {
  if (DIR* dir = opendir(folder_.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      unlink((folder_ + "/" + entry->d_name).c_str());
    }
    closedir(dir);
  }
}

void Scratch::WriteFile(std::string_view name, std::string_view bytes) const {
  std::string path = Path(name);
  FILE* file = fopen(path.c_str(), "wb");
  if (!file || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    abort();
  }
}

void Finding(const char* what, const std::string& path, const std::string& console) {
  fprintf(stderr, "==== %s: %s\n---- console of the run ----\n%s\n----\n", what, path.c_str(), console.c_str());
  abort();
}

void ShowConsole(const char* harness, const std::string& console) {
  static const bool show = getenv("PREPQDM_FUZZ_SHOW") != nullptr;
  if (show) fprintf(stderr, "---- %s ----\n%s", harness, console.c_str());
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return false;
  bytes.clear();
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) != 0) bytes.insert(bytes.end(), buffer, buffer + got);
  fclose(file);
  return true;
}

void CheckGeneratedObject(const std::string& path, const std::string& console) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) Finding("generated file missing", path, console);
  if (bytes.size() > UINT32_MAX) Finding("generated file too large", path, console);
  uint32_t size = static_cast<uint32_t>(bytes.size());
  if (uint32_t code = prepqdm::ParseElfImage(bytes.data(), size)) {
    char what[64];
    snprintf(what, sizeof what, "generated file fails to parse (0x%08X)", code);
    Finding(what, path, console);
  }
  // Once more from the original bytes, the way the next tool would meet it.
  if (!ReadWholeFile(path, bytes)) Finding("generated file vanished", path, console);
  RunState check;
  std::string check_console;
  check.console = prepqdm::Sink{nullptr, &check_console};
  HeapMapping mapping(bytes.data(), bytes.size(), path);
  if (prepqdm::OpenObjectModule(check.inputs.registry, check.console, &mapping.file, "generated.o", mapping.bytes.data(), size) != 0)
    Finding("generated file is refused as an object", path, console + check_console);
  if (prepqdm::TrackAllSymbols(check.inputs.registry, check.symbols, check.console, false) != 0)
    Finding("generated file's symbols cannot be tracked", path, console + check_console);
}

void BuildAndCheckImportLibrary(RunState& run, const std::string& library_path, const std::string& console) {
  const std::string& object_path = run.options.output_path;
  CheckGeneratedObject(object_path, console);
  prepqdm::MappedFile* file = nullptr;
  if (prepqdm::MapFile(run.mappings, object_path, &file) != prepqdm::kOk)
    Finding("generated file cannot be mapped", object_path, console);
  const prepqdm::ElfImage export_object{file->view, static_cast<uint32_t>(file->size)};
  if (prepqdm::ParseElfImage(export_object.data, export_object.size) != 0)
    Finding("generated file fails to parse when mapped", object_path, console);
  const std::string module_name = run.options.module_name.value_or("Fuzz/Module.QDM");
  // A bare stub: no archiver is run.
  const prepqdm::ImportLibrarySettings settings{library_path, module_name, object_path, true};
  prepqdm::BuiltImportLibrary built = prepqdm::BuildImportLibrary(export_object, settings, run.mappings, run.console);
  prepqdm::Status status = built.status;
  if (status == prepqdm::kOk && built.file.pending()) status = built.file.Commit();
  built.file.Keep();
  prepqdm::ReleaseMappedFile(file);
  // The export object was written by this very run: refusing it is a fault.
  if (status != 0) Finding("import library refused the generated export object", object_path, console);
  struct stat st;
  if (stat(library_path.c_str(), &st) == 0) CheckGeneratedObject(library_path, console);
}

int32_t SelectAndWrite(RunState& run, const prepqdm::MappedFile* def_file, const prepqdm::MappedFile* exclude_file) {
  run.selection = prepqdm::SelectExports(run.symbols, run.inputs.registry, def_file, exclude_file,
                                         prepqdm::SelectionSettingsOf(run.options), run.console);
  if (run.selection.status != prepqdm::kOk) return run.selection.status;
  const prepqdm::ExportObjectTarget target{run.options.output_path, run.options.def_only};
  prepqdm::WrittenExportObject written =
      prepqdm::WriteExportObject(run.selection.exports, run.symbols, target, run.mappings, run.console, run.log);
  if (written.status != prepqdm::kOk) return written.status;
  prepqdm::Status status = written.file.Commit();
  written.file.Keep();
  return status;
}

}  // namespace fuzzing
