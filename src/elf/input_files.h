// Loading one input named on the command line: resolve its name (working
// directory, then the search paths), map it, pass over what is not read
// (linker command files, the previous export object, files too short to be
// objects), and hand it to the archive reader or to object registration.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "elf/elf_image.h"
#include "elf/object_module.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/paths.h"
#include "host/status.h"

namespace prepqdm {

// Everything the run has taken in as input.
struct InputFiles {
  InputRegistry registry;
  std::vector<MappedFile*> files;  // accepted inputs, newest first
  std::unordered_set<std::string> paths;  // full paths of accepted inputs
  // Every input file mapped, as found (through -L too), in command-line
  // order: also those passed over as too short, whose growing would change
  // the run.
  std::vector<std::string> read;
  // Inputs passed over, as written, in command-line order: the run says
  // nothing of some of them, so qdmdump --explain lists them all.
  enum class PassedOver : uint8_t { kTooShort, kLinkerCommandFile, kOutput, kRepeated };
  std::vector<std::pair<std::string, PassedOver>> passed_over;
};

// Where to look for an input and what to pass over.
struct InputSearch {
  const std::vector<std::string>& search_paths;  // -L, newest first
  const std::string& output_path;                // the export object (full path)
  // Its identity when the scan began (nothing when there is no such file):
  // looked up once, not once per input.
  std::optional<FileIdentity> output_identity;
  // Whether a parsed image is an export object: the output file named as an
  // input is passed over only when it is one (a previous run's output).
  std::function<bool(const ElfImage&)> is_export_object;
};

// Loads the input named `token` as written on the command line. Returns 0,
// also for an input passed over, or a non-zero status after its message.
Status LoadInput(InputFiles& inputs, Mappings& mappings, Sink& console, const InputSearch& search,
                 const std::string& token);

}  // namespace prepqdm
