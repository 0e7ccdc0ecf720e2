// The run from start to exit. The order is fixed: parse (which maps and
// registers every input), check the option combinations, open the log, map
// the definition and exclude files, track symbols, select and write the
// exports, and, on request, read the written object back to build the import
// library. Most failures after parsing end with a report that echoes the
// command line; a few stages have printed everything already and end at once.
#include "driver/driver.h"

#include <cerrno>
#include <cstring>

#include "driver/command_line.h"
#include "driver/run_state.h"
#include "elf/elf_reader.h"
#include "elf/tracking_pass.h"
#include "exports/def_file.h"
#include "exports/export_list.h"
#include "host/output.h"
#include "output/import_library.h"

namespace prepqdm {

namespace {

constexpr int kSdkMajor = 2;
constexpr int kSdkMinor = 11;
constexpr int kSdkPatch = 3;
constexpr char kToolVersion[] = "v1.0";
constexpr uint32_t kMinimumExportObjectSize = 0x104;
constexpr Status kGeneratedFileTooSmall = AsStatus(0xBAD00018u);

// Fails with -1 after the report, then the error line.
Status ReportThenFail(RunState& run, int argc, char** argv, const char* line) {
  PrintFailureReport(run, argc, argv, -1);
  Print(run.console, "%s", line);
  return -1;
}

// Fails with -1 after the error line, then the report.
Status FailThenReport(RunState& run, int argc, char** argv, const char* line) {
  Print(run.console, "%s", line);
  PrintFailureReport(run, argc, argv, -1);
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

// Reads the export object just written back in and builds the import library
// from it. Sets *at_once when the run must end without a report.
Status BuildImportLibraryFromOutput(RunState& run, bool* at_once) {
  const Options& options = run.options;
  MappedFile* file = nullptr;
  Status status = MapFile(run.mappings, options.output_path, &file);
  if (status != kOk) {
    Print(run.console, "***Error: Could not map in generated file \"%s\". Error 0x%08X\n",
          options.output_path.c_str(), static_cast<uint32_t>(status));
    return status;
  }
  if (file->size < kMinimumExportObjectSize) {
    ReleaseMappedFile(file);
    Print(run.console, "***Error: Generated file \"%s\" is too small. Error 0x%08X\n", options.output_path.c_str(),
          static_cast<uint32_t>(kGeneratedFileTooSmall));
    return kGeneratedFileTooSmall;
  }
  run.export_object = file->view;
  run.export_object_size = static_cast<uint32_t>(file->size);
  uint32_t code = ParseElfImage(run.export_object, run.export_object_size);
  if (code != 0) {
    // The mapping stays: the run ends here.
    Print(run.console, "*** Error 0x%08X parsing ELF file \"%s\"\n", code, options.output_path.c_str());
    *at_once = true;
    return AsStatus(code);
  }
  status = BuildImportLibrary(run);
  ReleaseMappedFile(file);
  run.export_object = nullptr;
  run.export_object_size = 0;
  if (status != kOk)
    Print(run.console, "***Error 0x%08X creating import lib \"%s\"\n", static_cast<uint32_t>(status),
          options.import_library_path->c_str());
  return status;
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
  // Step 1: the run state starts fresh (a RunState is constructed per run).
  run.options = Options{};
  if (run.log.file) fclose(run.log.file);
  run.log = Sink{};
  Options& options = run.options;

  Status status = ParseCommandLine(run, argc, argv);
  if (status != kOk) {
    PrintUsage(run);
    return status;
  }

  if (options.check_no_sda)
    Print(run.console, "\nWARNING: -checknosda is deprecated; pass -checknosda to makeqdm instead.\n");

  bool import_library = false;
  if (options.import_library_path.has_value() != options.module_name.has_value())
    return ReportThenFail(run, argc, argv, "\nERROR: -l requires -r and v.v. Return -1.\n");
  if (options.import_library_path) {
    import_library = true;
    options.def_only = run.registry.count == 0;
  }

  if (run.registry.count == 0) {
    if (options.export_all)
      return FailThenReport(run, argc, argv, "\nERROR: -xall requires library or object files. Return -1.\n");
    if (!options.def_only)
      return ReportThenFail(run, argc, argv, "\nERROR: No library or object files specified. Return -1.\n");
  }

  if (options.log_path) {
    status = OpenLog(run, argc, argv);
    if (status != kOk) return status;
  }

  if (options.def_path) {
    if (options.export_all)
      return FailThenReport(run, argc, argv, "***Error: -xall and -x <file> cannot be used together.\n");
    // Taken as written: the search paths do not apply.
    if (MapFile(run.mappings, *options.def_path, &run.def_file) != kOk) {
      Print(run.console, "Error: Could not map in exports def file \"%s\". Return -1.\n", options.def_path->c_str());
      PrintFailureReport(run, argc, argv, -1);
      return -1;
    }
    Print(run.log, "Using DEF file \"%s\"\n", options.def_path->c_str());
  }

  if (options.exclude_path) {
    if (MapFile(run.mappings, *options.exclude_path, &run.exclude_file) != kOk) {
      Print(run.console, "Error: Could not map in exclude file \"%s\". Return -1.\n", options.exclude_path->c_str());
      PrintFailureReport(run, argc, argv, -1);
      return -1;
    }
    Print(run.log, "Using EXCLUDE file \"%s\"\n", options.exclude_path->c_str());
  }

  // These stages print their own messages and end the run without a report.
  status = TrackAllSymbols(run);
  if (status != kOk) return status;
  if (options.def_only) {
    status = LoadDefOnlySymbols(run, run.def_file);
    if (status != kOk) return status;
  }

  Print(run.log, "Output to \"%s\"\n", options.output_path.c_str());
  status = SelectExports(run, run.def_file, run.exclude_file);

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
