// The run from start to exit, as a fixed list of stages, each given what it
// needs and returning what it made:
//   1. parse the command line; each input, where it is named, goes through
//      LoadInputAndEnterSymbols: LoadInput maps it and registers its objects,
//      and each object is entered into the symbol table as soon as it is
//      registered, while its pages are fresh (TrackAhead);
//   2. check the option combination, and that no output is another file of
//      the run;
//   3. open the log;
//   4. map the definition and exclude files;
//   5. track symbols (the pass only reports what stage 1 entered, unless it
//      has to start over), and read the definition file's names when the
//      exports come from it alone;
//   6. select the exports;
// Stages 1 to 6 are RunThroughSelection, which qdmdump --explain runs too
// (without the log). Then:
//   7. write the export object and, on request, read it back to build the
//      import library;
//   8. stage the dependency file;
//   9. have the archiver index the staged library.
// Only then are the outputs put in place, together (see OutputSet), so after
// any failure every output path holds what it held before or nothing. Most
// failures after parsing end with a report that echoes the command line; a
// few stages have printed everything already and end at once.
#include "driver/driver.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "driver/command_line.h"
#include "driver/depfile.h"
#include "driver/option_checks.h"
#include "driver/run_state.h"
#include "driver/version.h"
#include "elf/elf_reader.h"
#include "elf/input_files.h"
#include "elf/reader_status.h"
#include "exports/def_file.h"
#include "exports/export_list.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/paths.h"
#include "host/output_set.h"
#include "host/staged_file.h"
#include "output/archive_indexing.h"
#include "output/export_object_reader.h"
#include "output/export_object_writer.h"
#include "output/import_library.h"
#include "symbols/tracking_pass.h"

namespace prepqdm {

namespace {

constexpr Status kGeneratedFileTooSmall = AsStatus(ReaderStatusCode("TooShort"));

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
    if (error != 0) PrintNote(run.console, path, error);
    PrintFailureReport(run, argc, argv, status);
    return status;
  }
  run.log = Sink{file, nullptr};
  Print(run.log, "PREPQDM Log\n");
  return kOk;
}

// The log is a diagnostic: one that could not be written whole leaves the
// run's status as it is, and says so.
void CloseLog(RunState& run) {
  if (!run.log.file) return;
  if (int error = CloseSink(run.log)) PrintNote(run.console, *run.options.log_path, error);
  run.log = Sink{};
}

Status PrintImportLibraryFailure(RunState& run, Status status) {
  Print(run.console, "***Error 0x%08X creating import lib \"%s\"\n", static_cast<uint32_t>(status),
        run.options.import_library_path->c_str());
  return status;
}

// Reads the export object just written back in (from the file this run
// wrote, not from the output path, which another run may be replacing) and
// builds the import library from it. Sets *at_once when the run must end
// without a report.
Status BuildImportLibraryFromOutput(RunState& run, const StagedFile& export_object_file, BuiltImportLibrary* built,
                                    bool* at_once) {
  const Options& options = run.options;
  MappedFile* file = nullptr;
  Status status = MapFile(run.mappings, export_object_file.written_path(), &file);
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
  uint32_t code = ParseElfImage(export_object.data, export_object.size, &file->written);
  if (code != 0) {
    // The mapping stays: the run ends here.
    Print(run.console, "*** Error 0x%08X parsing ELF file \"%s\"\n", code, options.output_path.c_str());
    *at_once = true;
    return AsStatus(code);
  }
  // The reader went through every table: what it did not convert goes back
  // now, and the library's passes read the rest again a piece at a time.
  ReleaseResidentPages(*file, file->view, file->size);
  const ImportLibrarySettings settings{*options.import_library_path, *options.module_name, options.output_path,
                                       options.no_archive_header, file};
  *built = BuildImportLibrary(export_object, settings, run.mappings, run.console);
  ReleaseMappedFile(file);
  if (built->status != kOk) PrintImportLibraryFailure(run, built->status);
  return built->status;
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
  CloseLog(run);
  const char* program = argc > 0 && argv && argv[0] ? argv[0] : "";
  Print(run.console, "\n\n%s FAILED Error = %d\n", program, status);
  Print(run.console, "\t%s", program);
  for (int i = 1; i < argc; ++i) Print(run.console, " \\\n\t\t%s", argv[i] ? argv[i] : "");
  Print(run.console, "\n");
  PrintUsage(run);
}

Status LoadInputAndEnterSymbols(RunState& run, const InputSearch& search, const std::string& token) {
  // An archive registers many objects: each is entered as it comes.
  run.inputs.registry.registered = [&run](ObjectModule& module) {
    TrackAhead(run.tracking_ahead, run.inputs.registry, run.symbols, module, run.options.verbose);
  };
  Status status = LoadInput(run.inputs, run.mappings, run.console, search, token);
  run.inputs.registry.registered = nullptr;
  return status;
}

ThroughSelection RunThroughSelection(RunState& run, int argc, char** argv, LogFile log) {
  ThroughSelection through;
  through.status = ParseCommandLine(run, argc, argv, LoadInputAndEnterSymbols);
  if (through.status != kOk) return through;
  through.parsed = true;
  Options& options = run.options;

  auto refuse = [&](std::optional<OptionFailure> failure) {
    if (!failure) return false;
    through.status = -1;
    through.failure = std::move(failure);
    return true;
  };
  if (refuse(CheckOptionCombination(options, run.inputs.registry.count, run.console))) return through;
  if (refuse(CheckOutputFiles(options, run.inputs.files, run.response_files))) return through;
  if (options.log_path && log == LogFile::kWrite) {
    through.status = OpenLog(run, argc, argv);
    if (through.status != kOk) return through;
  }
  if (refuse(MapSelectionFiles(options, run.mappings, run.log, &run.def_file, &run.exclude_file))) return through;

  // These stages print their own messages and end the run without a report.
  through.status =
      TrackAllSymbols(run.inputs.registry, run.symbols, run.console, options.verbose, &run.tracking_ahead);
  if (through.status != kOk) return through;
  if (options.def_only) {
    through.status =
        LoadDefOnlySymbols(run.symbols, run.console, OrNull(options.module_name), run.def_file, options.verbose);
    if (through.status != kOk) return through;
  }

  Print(run.log, "Output to \"%s\"\n", options.output_path.c_str());
  run.selection = SelectExports(run.symbols, run.inputs.registry, run.def_file, run.exclude_file,
                                SelectionSettingsOf(options), run.console);
  through.status = run.selection.status;
  through.selected = true;
  return through;
}

namespace {

Status RunStages(RunState& run, int argc, char** argv) {
  // Additions to the options: answered before anything else is read.
  if (AsksForVersion(argc, argv)) {
    const std::string line = VersionLine("prepqdm");
    PrintBytes(run.console, line.data(), line.size());
    return kOk;
  }
  if (AsksForHelp(argc, argv)) {
    PrintUsage(run);
    Print(run.console, "Also: -MF <file> writes a Make-syntax dependency file on success; --version prints the version; "
                       "--help prints this text.\n");
    return kOk;
  }
  // A run starts from default options and a closed log.
  run.options = Options{};
  if (run.log.file) fclose(run.log.file);
  run.log = Sink{};

  const ThroughSelection through = RunThroughSelection(run, argc, argv, LogFile::kWrite);
  if (!through.parsed) {
    PrintUsage(run);
    return through.status;
  }
  if (through.failure) return FailCheck(run, argc, argv, *through.failure);
  if (!through.selected) return through.status;

  const Options& options = run.options;
  Status status = through.status;
  // Every output is staged, and put in place only once all of them are
  // complete: nothing is at a target until the archiver has indexed the
  // library.
  OutputSet outputs;
  WrittenExportObject written;
  BuiltImportLibrary built;
  StagedFile depfile;
  // Nothing looks a name up any more: the writer reads the records only.
  run.symbols.DropIndex();
  if (status == kOk) {
    const ExportObjectTarget target{options.output_path, options.def_only};
    written = WriteExportObject(run.selection.exports, run.symbols, target, run.mappings, run.console, run.log);
    status = written.status;
  }
  if (status == kOk) {
    outputs.Add(written.file, [&](int error) {
      Print(run.console, "***Error: Could not write to output file.\n");
      PrintNote(run.console, options.output_path, error);
      return error;
    });
  }
  if (status == kOk && options.import_library_path) {
    // The library is made from the export object just written: the records
    // and the list are done with, and holding them too would double the peak.
    run.symbols.Clear();
    run.selection.exports = ExportList{};
    bool at_once = false;
    status = BuildImportLibraryFromOutput(run, written.file, &built, &at_once);
    if (at_once) return status;
    if (status == kOk && built.file.pending()) {
      outputs.Add(built.file, [&](int error) {
        Print(run.console, "***Error: Could not write to output library file.\n");
        PrintNote(run.console, *options.import_library_path, error);
        return PrintImportLibraryFailure(run, error);
      });
    }
  }
  if (status == kOk && options.depfile_path) {
    status = StageDependencyFile(run, depfile);
    if (status == kOk) outputs.Add(depfile, [&](int error) { return ReportDependencyFileFailure(run, error); });
  }
  if (status == kOk && built.file.pending() && !options.no_archive_header) {
    // An archive the archiver could not index is no import library.
    status = IndexImportLibrary(*options.import_library_path, built.file.written_path(), options.verbose,
                                run.console);
    if (status != kOk) PrintImportLibraryFailure(run, status);
  }
  if (status == kOk) status = outputs.CommitAll();
  if (status == kOk) outputs.KeepAll();
  else outputs.RollBack();

  CloseLog(run);
  if (status != kOk) PrintFailureReport(run, argc, argv, status);
  return status;
}

}  // namespace

Status RunPrepqdm(RunState& run, int argc, char** argv) {
  Status status = RunStages(run, argc, argv);
  // The stages that end the run at once leave the log open.
  CloseLog(run);
  return status;
}

}  // namespace prepqdm
