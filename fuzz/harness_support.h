// Shared pieces of the harnesses: inputs held in exact-size heap buffers
// (so AddressSanitizer sees the first byte past the end) posing as mapped
// files, a private scratch folder for the files a run writes, splitting of
// structured inputs, and the read-back checks of generated files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/mapped_file.h"

namespace prepqdm {
struct RunState;
}

namespace fuzzing {

// A copy of fuzz bytes dressed as a MappedFile. The record is never released
// through ReleaseMappedFile (nothing was mapped); it lives as long as this.
struct HeapMapping {
  std::vector<uint8_t> bytes;
  prepqdm::MappedFile file;
  HeapMapping(const uint8_t* data, size_t size, std::string path);
  HeapMapping(const HeapMapping&) = delete;
  HeapMapping& operator=(const HeapMapping&) = delete;
};

// The input cut at every kPartSeparator.
std::vector<std::string_view> SplitParts(const uint8_t* data, size_t size);

// A folder of this process under /dev/shm (or TMPDIR, or /tmp), created on
// first use and removed at exit. Folders left behind by fuzzing processes
// that died (a crash ends a process without exit handlers) are removed when
// the next one starts.
class Scratch {
 public:
  static Scratch& Get();
  std::string Path(std::string_view name) const;
  // Removes every file in the folder.
  void Clear() const;
  void WriteFile(std::string_view name, std::string_view bytes) const;

 private:
  Scratch();
  std::string folder_;
};

// Prints `what` and the console text of the run, then aborts (a finding).
[[noreturn]] void Finding(const char* what, const std::string& path, const std::string& console);

// Prints the console text of a run to stderr when PREPQDM_FUZZ_SHOW is set
// (to see how far the seeds get).
void ShowConsole(const char* harness, const std::string& console);
struct ShowConsoleAtEnd {
  const char* harness;
  const std::string& console;
  ~ShowConsoleAtEnd() { ShowConsole(harness, console); }
};

// Reads a file whole; false when it does not exist.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// A file the program wrote must parse cleanly, be a relocatable object with
// sections, and register and track in a fresh run. Aborts otherwise.
void CheckGeneratedObject(const std::string& path, const std::string& console);

// The driver's last stage outside the driver: read the export object back
// from run.options.output_path, build the import library (no archive member
// header, so no archiver is started) into `library_path`, and check both.
void BuildAndCheckImportLibrary(prepqdm::RunState& run, const std::string& library_path, const std::string& console);

// Selection on the run's table with its options and, when it succeeds, the
// export object written from it, as a run of the program does them.
int32_t SelectAndWrite(prepqdm::RunState& run, const prepqdm::MappedFile* def_file,
                       const prepqdm::MappedFile* exclude_file);

}  // namespace fuzzing
