// One archive through the member walk: headers, sizes and padding, the long
// name table and references into it, and every object member registered,
// then the members tracked together (duplicates included) and searched for
// in-code exports. The driver hands a file to the archive reader only after
// seeing the "!<arch>\n" signature, so the harness puts it in place itself
// rather than spend the fuzzer's effort on finding it.
#include <cstring>

#include "driver/option_checks.h"
#include "driver/run_state.h"
#include "elf/archive_reader.h"
#include "exports/in_code_exports.h"
#include "harness_support.h"
#include "harnesses.h"
#include "symbols/tracking_pass.h"

namespace fuzzing {

int FuzzArchive(const uint8_t* data, size_t size) {
  if (size < 8 || size > UINT32_MAX) return 0;
  HeapMapping archive(data, size, "/fuzz/input.a");
  std::memcpy(archive.bytes.data(), "!<arch>\n", 8);
  prepqdm::RunState run;
  std::string console;
  run.console = prepqdm::Sink{nullptr, &console};
  ShowConsoleAtEnd show{"archive", console};
  run.options.verbose = true;
  if (prepqdm::ReadArchive(run.inputs.registry, run.console, &archive.file) != 0) return 0;
  if (prepqdm::TrackAllSymbols(run.inputs.registry, run.symbols, run.console, run.options.verbose) != 0) return 0;
  const prepqdm::SelectionSettings settings = prepqdm::SelectionSettingsOf(run.options);
  prepqdm::Selector selector{run.symbols, run.console, settings, run.selection};
  prepqdm::CollectAllInCodeExports(selector, run.inputs.registry);
  return 0;
}

}  // namespace fuzzing
