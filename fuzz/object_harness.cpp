// One object image through the whole chain that reads objects: the checks
// and in-place conversion, registration, tracking into the symbol table,
// export selection (the in-code ".export" search, or every eligible symbol
// as with -xall), the export object written and read back, and the import
// library built from it. Options come from the last byte of e_ident's
// padding, which no reader looks at: bit 0 selects -xall, bit 1 -v, bit 2
// -warnsti, bit 3 -warnlinkonce.
#include <cstdio>

#include "driver/run_state.h"
#include "elf/object_module.h"
#include "harness_support.h"
#include "harnesses.h"
#include "symbols/tracking_pass.h"

namespace fuzzing {

int FuzzObject(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  const uint8_t options = size >= 16 ? data[15] : 0;
  const Scratch& scratch = Scratch::Get();
  scratch.Clear();

  HeapMapping input(data, size, "/fuzz/input.o");
  prepqdm::RunState run;
  std::string console;
  run.console = prepqdm::Sink{nullptr, &console};
  ShowConsoleAtEnd show{"object", console};
  run.options.export_all = (options & 1) != 0;
  run.options.verbose = (options & 2) != 0;
  run.options.warn_sti = (options & 4) != 0;
  run.options.warn_linkonce = (options & 8) != 0;
  run.options.output_path = scratch.Path("exports.o");

  if (prepqdm::OpenObjectModule(run.inputs.registry, run.console, &input.file, "input.o", input.bytes.data(),
                                static_cast<uint32_t>(size)) != 0)
    return 0;
  if (prepqdm::TrackAllSymbols(run.inputs.registry, run.symbols, run.console, run.options.verbose) != 0) return 0;
  prepqdm::Status status = SelectAndWrite(run, nullptr, nullptr);
  console += "[selection " + std::to_string(status) + ", " + std::to_string(run.selection.exports.count()) +
             " exports]\n";
  if (status != 0) {
    std::vector<uint8_t> partial;
    if (ReadWholeFile(run.options.output_path, partial)) CheckGeneratedObject(run.options.output_path, console);
    return 0;
  }
  BuildAndCheckImportLibrary(run, scratch.Path("imports.a"), console);
  return 0;
}

}  // namespace fuzzing
