// Targets are spelled as typed (the build names them so); prerequisites as
// the run opened them: inputs and response files by their resolved full
// paths, the definition and exclude files as typed. Every path is written
// with '/' between its parts, so that a Windows build's file reads in Ninja
// and GNU make as a Linux build's does.
#include "driver/depfile.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "host/output.h"
#include "host/paths.h"

namespace prepqdm {

namespace {

// `path` escaped for a Make rule (spaces, tabs, '#', '$', and the
// backslashes before a blank), as gcc -MF writes it; nothing for a path that
// a rule cannot hold (a line end in it).
std::optional<std::string> MakeEscaped(const std::string& path) {
  std::string out;
  size_t backslashes = 0;
  for (char c : path) {
    if (c == '\n' || c == '\r') return std::nullopt;
    if (c == ' ' || c == '\t') {
      // Backslashes before a blank would escape it: double them first.
      out.append(backslashes, '\\');
      out += '\\';
    } else if (c == '#') {
      out += '\\';
    } else if (c == '$') {
      out += '$';
    }
    backslashes = c == '\\' ? backslashes + 1 : 0;
    out += c;
  }
  return out;
}

// One rule: "targets: prerequisites", a prerequisite per line, each once.
// Nothing when a path cannot be written.
std::optional<std::string> DependencyRule(const std::vector<std::string>& targets,
                                          const std::vector<std::string>& prerequisites) {
  std::string rule;
  for (const std::string& target : targets) {
    std::optional<std::string> escaped = MakeEscaped(SlashSeparated(target));
    if (!escaped) return std::nullopt;
    rule += (rule.empty() ? "" : " ") + *escaped;
  }
  rule += ':';
  std::set<std::string> seen;
  for (const std::string& path : prerequisites) {
    const std::string prerequisite = SlashSeparated(path);
    if (!seen.insert(prerequisite).second) continue;
    std::optional<std::string> escaped = MakeEscaped(prerequisite);
    if (!escaped) return std::nullopt;
    rule += " \\\n  " + *escaped;
  }
  return rule + "\n";
}

}  // namespace

Status StageDependencyFile(RunState& run, StagedFile& file) {
  const Options& options = run.options;
  std::vector<std::string> targets{options.output_name};
  if (options.import_library_path) targets.push_back(*options.import_library_path);
  std::vector<std::string> read = run.response_files;
  read.insert(read.end(), run.inputs.read.begin(), run.inputs.read.end());
  if (options.def_path) read.push_back(*options.def_path);
  if (options.exclude_path) read.push_back(*options.exclude_path);

  std::optional<std::string> rule = DependencyRule(targets, read);
  if (!rule) {
    Print(run.console, "***Error: A path cannot be written to the dependency file \"%s\". Return -1.\n",
          options.depfile_path->c_str());
    return -1;
  }
  if (int error = file.Open(run.mappings, *options.depfile_path)) return ReportDependencyFileFailure(run, error);
  errno = 0;
  if (std::fwrite(rule->data(), 1, rule->size(), file.stream()) != rule->size()) {
    const int error = errno;
    file.Discard();
    return ReportDependencyFileFailure(run, error);
  }
  if (int error = file.Close()) return ReportDependencyFileFailure(run, error);
  return kOk;
}

Status ReportDependencyFileFailure(RunState& run, int error) {
  // A failure must never be reported as success.
  const Status status = error != 0 ? error : -1;
  Print(run.console, "***Error: Could not write dependency file \"%s\". error = %d.\n",
        run.options.depfile_path->c_str(), status);
  return status;
}

}  // namespace prepqdm
