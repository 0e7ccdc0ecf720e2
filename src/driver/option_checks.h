// The checks of the option combination that follow the command-line scan,
// shared by a run and by qdmdump --explain, which prints the same messages
// (without the failure report, which only a run prints).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/options.h"
#include "exports/export_list.h"
#include "host/mapped_file.h"
#include "host/output.h"

namespace prepqdm {

// A failed check: its line, and whether a run prints the failure report
// before the line rather than after it.
struct OptionFailure {
  std::string line;
  bool report_first = false;
};

// -l must come with -r, and there must be objects unless the exports come
// from the definition file alone; decides `def_only`. Prints the -checknosda
// warning. With an import library in an archive, SOURCE_DATE_EPOCH, when
// set, must be a decimal number of seconds that fits the 12-digit `ar_date`
// field (0 to 999999999999).
std::optional<OptionFailure> CheckOptionCombination(Options& options, int32_t object_count, Sink& console);

// -xall and -x exclude each other; maps the definition and exclude files
// (names taken as written) and names them in the log.
std::optional<OptionFailure> MapSelectionFiles(const Options& options, Mappings& mappings, Sink& log,
                                               MappedFile** def_file, MappedFile** exclude_file);

// The log, the export object and the import library are three different
// files, and none of them is a file the run reads: an input, the definition
// or exclude file, a response file. (The export object named as an input has
// been dealt with while the inputs were loaded.) Devices and FIFOs are not
// compared: writing to them destroys nothing.
std::optional<OptionFailure> CheckOutputFiles(const Options& options, const std::vector<MappedFile*>& inputs,
                                              const std::vector<std::string>& response_files);

SelectionSettings SelectionSettingsOf(const Options& options);

}  // namespace prepqdm
