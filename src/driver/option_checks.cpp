#include "driver/option_checks.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "elf/ar_format.h"
#include "host/environment.h"
#include "host/paths.h"

namespace prepqdm {

namespace {

struct RoleFile {
  const char* role;      // as the subject of the message
  const char* as_other;  // as what another file collides with
  std::string path;
};

// A file as the checks compare it, looked up once: a run with thousands of
// inputs would otherwise look up every output again for each of them. An
// input is not looked up at all: its mapping took its identity.
struct KnownFile {
  explicit KnownFile(const std::string& name) : path(name), identity(IdentifyFile(name)) {}
  explicit KnownFile(const MappedFile& input) : path(input.path), mapped(&input) {}
  const std::string& path;
  std::optional<FileIdentity> identity;
  const MappedFile* mapped = nullptr;  // an input, a regular file
};

bool IsDeviceOrFifo(const KnownFile& file) { return file.identity && !file.identity->regular; }

// Outputs are never mapped: at most one of the two is.
bool Same(const KnownFile& a, const KnownFile& b) {
  if (a.mapped != nullptr) return SameFile(*a.mapped, b.path, b.identity);
  if (b.mapped != nullptr) return SameFile(*b.mapped, a.path, a.identity);
  return SameFile(a.path, a.identity, b.path, b.identity);
}

bool Collide(const KnownFile& a, const KnownFile& b) {
  return !IsDeviceOrFifo(a) && !IsDeviceOrFifo(b) && Same(a, b);
}

OptionFailure Collision(const RoleFile& file, const char* other) {
  return OptionFailure{Format("***Error: %s \"%s\" is also %s. Return -1.\n", file.role, file.path.c_str(), other),
                       false};
}

}  // namespace

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
  // The import library's member date comes from SOURCE_DATE_EPOCH when it is
  // set: a value that is not a number of seconds (or does not fit the date
  // field) would quietly make the library differ from run to run.
  if (options.import_library_path && !options.no_archive_header) {
    if (const std::optional<std::string> value = EnvironmentValue("SOURCE_DATE_EPOCH")) {
      const char* epoch = value->c_str();
      const size_t length = std::strlen(epoch);
      if (length == 0 || std::strspn(epoch, "0123456789") != length)
        return OptionFailure{
            Format("***Error: SOURCE_DATE_EPOCH \"%s\" is not a number of seconds. Return -1.\n", epoch), false};
      // Leading zeros are not written: the value has to fit, not the text.
      if (length - std::strspn(epoch, "0") > ArMemberHeader::kDate.width)
        return OptionFailure{Format("***Error: SOURCE_DATE_EPOCH \"%s\" does not fit the 12-digit date field of the "
                                    "import library. Return -1.\n",
                                    epoch),
                             false};
    }
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

std::optional<OptionFailure> CheckOutputFiles(const Options& options, const std::vector<MappedFile*>& inputs,
                                              const std::vector<std::string>& response_files) {
  std::vector<RoleFile> outputs;
  if (options.log_path) outputs.push_back({"Log file", "the log file", *options.log_path});
  outputs.push_back({"Output file", "the output file", options.output_path});
  if (options.import_library_path)
    outputs.push_back({"Import library", "the import library", *options.import_library_path});
  if (options.depfile_path) outputs.push_back({"Dependency file", "the dependency file", *options.depfile_path});
  std::vector<KnownFile> known;
  known.reserve(outputs.size());
  for (const RoleFile& output : outputs) known.emplace_back(output.path);
  for (size_t i = 0; i < outputs.size(); ++i)
    for (size_t j = i + 1; j < outputs.size(); ++j)
      if (Collide(known[i], known[j])) return Collision(outputs[i], outputs[j].as_other);
  // Each input is looked up once, against every output in turn; the order
  // of the checks, and so the first collision reported, is as before.
  std::vector<KnownFile> others;
  others.reserve(inputs.size() + 2 + response_files.size());
  for (const MappedFile* input : inputs) others.emplace_back(*input);
  const size_t definition = others.size();
  if (options.def_path) others.emplace_back(*options.def_path);
  const size_t exclusion = others.size();
  if (options.exclude_path) others.emplace_back(*options.exclude_path);
  const size_t responses = others.size();
  for (const std::string& response : response_files) others.emplace_back(response);
  for (size_t o = 0; o < outputs.size(); ++o) {
    for (size_t i = 0; i < inputs.size(); ++i)
      if (Collide(known[o], others[i])) return Collision(outputs[o], "an input");
    if (options.def_path && Collide(known[o], others[definition])) return Collision(outputs[o], "the definition file");
    if (options.exclude_path && Collide(known[o], others[exclusion])) return Collision(outputs[o], "the exclude file");
    for (size_t r = responses; r < others.size(); ++r)
      if (Collide(known[o], others[r])) return Collision(outputs[o], "a response file");
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
