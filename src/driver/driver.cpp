// The run from start to exit, as a fixed list of stages, each given what it
// needs and returning what it made: parse (which loads every input), check
// the option combination, open the log, map the definition and exclude files,
// track symbols, select the exports, write the export object, and, on
// request, read it back to build the import library and have the archiver
// index it. Most failures after parsing end with a report that echoes the
// command line; a few stages have printed everything already and end at once.
#include "driver/driver.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "driver/command_line.h"
#include "driver/option_checks.h"
#include "driver/run_state.h"
#include "elf/elf_reader.h"
#include "exports/def_file.h"
#include "exports/export_list.h"
#include "host/output.h"
#include "output/archive_indexing.h"
#include "output/export_object_writer.h"
#include "output/import_library.h"
#include "symbols/tracking_pass.h"

namespace prepqdm {

namespace {

constexpr int kSdkMajor = 2;
constexpr int kSdkMinor = 11;
constexpr int kSdkPatch = 3;
constexpr char kToolVersion[] = "v1.0";
constexpr Status kGeneratedFileTooSmall = AsStatus(0xBAD00018u);

// Fails with -1: the failed check's line and the report, in its order.
Status FailCheck(RunState& run, int argc, char** argv, const OptionFailure& failure) {
  if (failure.report_first) PrintFailureReport(run, argc, argv, -1);
  PrintBytes(run.console, failure.line.data(), failure.line.size());
  if (!failure.report_first) PrintFailureReport(run, argc, argv, -1);
  return -1;
}

Status OpenLog(RunState& run, int argc, char** argv) {
  const std::string& path = *run.options.log_path;
  Print(run.console, "Output to log file \"%s\".\n", path.c_str());
  errno = 0;
  FILE* file = OpenForWrite(run.mappings, path, "w");
  if (!file) {
    int error = errno;
    // A failure must never be reported as success.
    Status status = error != 0 ? error : -1;
    Print(run.console, "***Error: Could not create log file. error = %d.\n", status);
    PrintFailureReport(run, argc, argv, status);
    return status;
  }
  run.log = Sink{file, nullptr};
  Print(run.log, "PREPQDM Log\n");
  return kOk;
}

// Reads the export object just written back in, builds the import library
// from it and has the archiver index it. Sets *at_once when the run must end
// without a report.
Status BuildImportLibraryFromOutput(RunState& run, bool* at_once) {
  const Options& options = run.options;
  MappedFile* file = nullptr;
  Status status = MapFile(run.mappings, options.output_path, &file);
  if (status != kOk) {
    Print(run.console, "***Error: Could not map in generated file \"%s\". Error 0x%08X\n",
          options.output_path.c_str(), static_cast<uint32_t>(status));
    return status;
  }
  if (file->size < kMinimumObjectSize) {
    ReleaseMappedFile(file);
    Print(run.console, "***Error: Generated file \"%s\" is too small. Error 0x%08X\n", options.output_path.c_str(),
          static_cast<uint32_t>(kGeneratedFileTooSmall));
    return kGeneratedFileTooSmall;
  }
  const ElfImage export_object{file->view, static_cast<uint32_t>(file->size)};
  uint32_t code = ParseElfImage(export_object.data, export_object.size);
  if (code != 0) {
    // The mapping stays: the run ends here.
    Print(run.console, "*** Error 0x%08X parsing ELF file \"%s\"\n", code, options.output_path.c_str());
    *at_once = true;
    return AsStatus(code);
  }
  const std::string& library_path = *options.import_library_path;
  const ImportLibrarySettings settings{library_path, *options.module_name, options.output_path,
                                       options.no_archive_header};
  BuiltImportLibrary built = BuildImportLibrary(export_object, settings, run.mappings, run.console);
  // The archiver gets whatever was written, as it would after a failed write.
  if (built.opened && !options.no_archive_header) IndexImportLibrary(library_path, options.verbose, run.console);
  ReleaseMappedFile(file);
  if (built.status != kOk)
    Print(run.console, "***Error 0x%08X creating import lib \"%s\"\n", static_cast<uint32_t>(built.status),
          library_path.c_str());
  return built.status;
}

}  // namespace

void PrintUsage(RunState& run) {
  Sink& out = run.console;
  Print(out, "\n\nprepqdm for Brindle OS SDK Version %d.%02d.%02d (QDM %s %s %s)\n", kSdkMajor, kSdkMinor, kSdkPatch,
        kToolVersion, __DATE__, __TIME__);
  Print(out, "\nUsage:\n");
  Print(out, "         PREPQDM[ 32 | 64 ] [ options* ] files+\n");
  Print(out, "\n PrepQDM is given the same inputs as go to the linker.\n");
  Print(out, " It outputs an additional .o file that is extra input to the linker.\n");
  Print(out, "\nOptions:\n");
  Print(out, "    -o <file>              Specify Output .o File\n");
  Print(out, "    -log <file>            Emit log text file of what was done\n");
  Print(out, "    -x <file>              Specify DEF file for exports\n");
  Print(out, "    -xall                  Export all global non-weak loadable symbols\n");
  Print(out, "    -xnot <file>           Specify Anti-DEF file (exclude list) for exports.\n");
  Print(out, "    -v                     Print Verbose Information.\n");
  Print(out, "    -l <file>              Specify Output .a import library file. If used, requires -r.\n");
  Print(out, "    -r <name>              The name of the QDE or QDM. If used, requires -l.\n");
  Print(out, "    -L<path>               Search file in <path>\n");
  Print(out, "    @<file>                Insert <file> at position in command line.\n");
  Print(out, "    -e <symbol>            [Ignored] Override entrypoint symbol\n");
  Print(out, "    -noar                  Do not generate library header\n");
  Print(out, "    -q                     Deprecated implied by using -l and -r with no object files\n");
  Print(out, "    -checknosda            Deprecated with warning. Pass -checknosda to makedqm instead.\n");
  Print(out, "    -warnsti               When passed, static initializers are allowed as exports with warning.\n");
  Print(out, "                           Default: attempt to export a static initializer is an error.\n");
  Print(out, "    -warnlinkonce          When passed, symbols in linkonce sections are allowed as exports with "
             "warning.\n");
  Print(out, "                           Default: attempt to export a linkonce symbol is an error.\n");
  Print(out, "\n");
}

void PrintFailureReport(RunState& run, int argc, char** argv, Status status) {
  const char* program = argc > 0 && argv && argv[0] ? argv[0] : "";
  Print(run.console, "\n\n%s FAILED Error = %d\n", program, status);
  Print(run.console, "\t%s", program);
  for (int i = 1; i < argc; ++i) Print(run.console, " \\\n\t\t%s", argv[i] ? argv[i] : "");
  Print(run.console, "\n");
  PrintUsage(run);
}

Status RunPrepqdm(RunState& run, int argc, char** argv) {
  // A run starts from default options and a closed log.
  run.options = Options{};
  if (run.log.file) fclose(run.log.file);
  run.log = Sink{};
  Options& options = run.options;

  Status status = ParseCommandLine(run, argc, argv);
  if (status != kOk) {
    PrintUsage(run);
    return status;
  }

  if (std::optional<OptionFailure> failure = CheckOptionCombination(options, run.inputs.registry.count, run.console))
    return FailCheck(run, argc, argv, *failure);
  const bool import_library = options.import_library_path.has_value();

  if (options.log_path) {
    status = OpenLog(run, argc, argv);
    if (status != kOk) return status;
  }
  if (std::optional<OptionFailure> failure =
          MapSelectionFiles(options, run.mappings, run.log, &run.def_file, &run.exclude_file))
    return FailCheck(run, argc, argv, *failure);

  // These stages print their own messages and end the run without a report.
  status = TrackAllSymbols(run.inputs.registry, run.tree, run.console, &run.tracking_ahead);
  if (status != kOk) return status;
  if (options.def_only) {
    status = LoadDefOnlySymbols(run.tree, run.console, OrNull(options.module_name), run.def_file);
    if (status != kOk) return status;
  }

  Print(run.log, "Output to \"%s\"\n", options.output_path.c_str());
  run.selection = SelectExports(run.tree, run.inputs.registry, run.def_file, run.exclude_file,
                                SelectionSettingsOf(options), run.console);
  status = run.selection.status;
  // Nothing looks a name up any more: the writer reads the records only.
  run.tree.DropIndex();
  if (status == kOk) {
    const ExportObjectTarget target{options.output_path, options.def_only};
    status = WriteExportObject(run.selection.exports, run.tree, target, run.mappings, run.console, run.log).status;
  }

  if (status == kOk && import_library) {
    bool at_once = false;
    status = BuildImportLibraryFromOutput(run, &at_once);
    if (at_once) return status;
  }

  if (run.log.file) {
    fclose(run.log.file);
    run.log = Sink{};
  }
  if (status != kOk) PrintFailureReport(run, argc, argv, status);
  return status;
}

}  // namespace prepqdm
