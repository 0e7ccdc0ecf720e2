#include "driver/option_checks.h"

namespace prepqdm {

std::optional<OptionFailure> CheckOptionCombination(Options& options, int32_t object_count, Sink& console) {
  if (options.check_no_sda)
    Print(console, "\nWARNING: -checknosda is deprecated; pass -checknosda to makeqdm instead.\n");
  if (options.import_library_path.has_value() != options.module_name.has_value())
    return OptionFailure{"\nERROR: -l requires -r and v.v. Return -1.\n", true};
  // With an import library, the exports come from the definition file alone
  // exactly when there is no object, whatever -q said.
  if (options.import_library_path) options.def_only = object_count == 0;
  if (object_count == 0) {
    if (options.export_all) return OptionFailure{"\nERROR: -xall requires library or object files. Return -1.\n", false};
    if (!options.def_only) return OptionFailure{"\nERROR: No library or object files specified. Return -1.\n", true};
  }
  return std::nullopt;
}

std::optional<OptionFailure> MapSelectionFiles(const Options& options, Mappings& mappings, Sink& log,
                                               MappedFile** def_file, MappedFile** exclude_file) {
  if (options.def_path) {
    if (options.export_all) return OptionFailure{"***Error: -xall and -x <file> cannot be used together.\n", false};
    // Taken as written: the search paths do not apply.
    if (MapFile(mappings, *options.def_path, def_file) != kOk)
      return OptionFailure{Format("Error: Could not map in exports def file \"%s\". Return -1.\n",
                                  options.def_path->c_str()),
                           false};
    Print(log, "Using DEF file \"%s\"\n", options.def_path->c_str());
  }
  if (options.exclude_path) {
    if (MapFile(mappings, *options.exclude_path, exclude_file) != kOk)
      return OptionFailure{
          Format("Error: Could not map in exclude file \"%s\". Return -1.\n", options.exclude_path->c_str()), false};
    Print(log, "Using EXCLUDE file \"%s\"\n", options.exclude_path->c_str());
  }
  return std::nullopt;
}

SelectionSettings SelectionSettingsOf(const Options& options) {
  SelectionSettings settings;
  settings.export_all = options.export_all;
  settings.warn_sti = options.warn_sti;
  settings.warn_linkonce = options.warn_linkonce;
  settings.verbose = options.verbose;
  return settings;
}

}  // namespace prepqdm
