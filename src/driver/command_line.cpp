#include "driver/command_line.h"

#include <limits>
#include <optional>
#include <string>

#include "driver/run_state.h"
#include "output/export_object_reader.h"
#include "host/output.h"
#include "host/paths.h"

namespace prepqdm {

// --- CommandLineParser ---------------------------------------------------

Status CommandLineParser::Initialise(Mappings& mappings, int count, char** vector) {
  if (count < 1 || !vector || !vector[0]) return -1;
  count_ = count;
  vector_ = vector;
  slots_.clear();
  slots_.resize(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const char* argument = vector[i];
    if (!argument || argument[0] != '@') continue;
    auto file = std::make_unique<ResponseFile>();
    Status status = ReadResponseFile(mappings, argument + 1, *file);
    if (status != kOk) return status;
    slots_[static_cast<size_t>(i)] = std::move(file);
  }
  Rewind();
  return kOk;
}

bool CommandLineParser::IsEmptyResponseFile(int32_t index) const {
  const std::unique_ptr<ResponseFile>& slot = slots_[static_cast<size_t>(index)];
  return slot && slot->tokens.empty();
}

void CommandLineParser::SkipEmptyResponseFiles() {
  while (position_ < count_ && IsEmptyResponseFile(position_)) ++position_;
}

void CommandLineParser::Rewind() {
  for (std::unique_ptr<ResponseFile>& slot : slots_)
    if (slot) slot->current = 0;
  position_ = 0;
  SkipEmptyResponseFiles();
}

void CommandLineParser::Advance() {
  if (!HasMore()) return;
  ResponseFile* file = slots_[static_cast<size_t>(position_)].get();
  if (file && static_cast<size_t>(file->current) + 1 < file->tokens.size()) {
    ++file->current;
    return;
  }
  ++position_;
  SkipEmptyResponseFiles();
  if (HasMore())
    if (ResponseFile* next = slots_[static_cast<size_t>(position_)].get()) next->current = 0;
}

std::vector<std::string> CommandLineParser::ResponseFilePaths() const {
  std::vector<std::string> paths;
  for (const std::unique_ptr<ResponseFile>& slot : slots_)
    if (slot) paths.push_back(slot->path);
  return paths;
}

std::string_view CommandLineParser::CurrentToken() const {
  if (!HasMore()) return {};
  if (const ResponseFile* file = slots_[static_cast<size_t>(position_)].get())
    return file->tokens[static_cast<size_t>(file->current)];
  const char* argument = vector_[position_];
  return argument ? std::string_view(argument) : std::string_view();
}

namespace {

constexpr char kDefaultOutput[] = "pre_qdm.o";
constexpr size_t kUnlimited = std::numeric_limits<size_t>::max();

// A scan step: the current token, after which the parser has moved on.
std::string TakeToken(CommandLineParser& parser) {
  std::string token(parser.CurrentToken());
  parser.Advance();
  return token;
}

// The argument of an option written as -Xvalue or -X value.
std::optional<std::string> RestElseNext(const std::string& token, CommandLineParser& parser) {
  if (token.size() > 2) return token.substr(2);
  if (!parser.HasMore()) return std::nullopt;
  return TakeToken(parser);
}

Status PreScan(RunState& run, CommandLineParser& parser) {
  Options& options = run.options;
  std::optional<std::string> output;
  parser.Rewind();
  parser.Advance();
  while (parser.HasMore()) {
    std::string token = TakeToken(parser);
    if (token.size() < 2 || token[0] != '-') continue;
    if (token[1] == 'o') {
      if (output) {
        // Only the first -o counts; a later one is passed over with its name.
        if (token.size() == 2 && parser.HasMore()) parser.Advance();
        continue;
      }
      output = RestElseNext(token, parser);
      if (!output) {
        Print(run.console, "***Error: Option -o requires a filename. Return -1.\n");
        return -1;
      }
    } else if (token[1] == 'L') {
      std::optional<std::string> path = RestElseNext(token, parser);
      if (!path) {
        Print(run.console, "***Error: Option -L requires the name of the path. Return -1.\n");
        return -1;
      }
      options.search_paths.insert(options.search_paths.begin(), std::move(*path));
    }
  }
  if (!output) {
    Print(run.console, "!!!Warning: No output file specified (-o). \"%s\" used.\n", kDefaultOutput);
    output = kDefaultOutput;
  }
  std::optional<std::string> full = FullPath(*output, kUnlimited);
  if (!full) {
    Print(run.console, "***Error: Memory allocation failed.\n");
    return -1;
  }
  options.output_path = std::move(*full);
  options.output_name = std::move(*output);
  return kOk;
}

bool IsOneOfWords(std::string_view text) {
  for (std::string_view word : {"checknosda", "q", "noar", "warnsti", "warnlinkonce"})
    if (EqualsIgnoreAsciiCase(text, word)) return true;
  return false;
}

Status MainScan(RunState& run, CommandLineParser& parser, const InputStep& each_input) {
  Options& options = run.options;
  const InputSearch search{options.search_paths, options.output_path, IdentifyFile(options.output_path),
                           IsExportObject};
  parser.Rewind();
  parser.Advance();
  while (parser.HasMore()) {
    std::string token = TakeToken(parser);
    if (token.empty() || token[0] != '-') {
      Status status = each_input(run, search, token);
      if (status != kOk) return status;
      continue;
    }
    char letter = token.size() > 1 ? token[1] : '\0';
    std::string_view after_dash = std::string_view(token).substr(1);
    std::string_view rest = token.size() > 2 ? std::string_view(token).substr(2) : std::string_view();

    if (letter == 'o' || letter == 'L') {
      if (token.size() == 2 && parser.HasMore()) parser.Advance();
    } else if (EqualsIgnoreAsciiCase(after_dash, "log")) {
      if (!parser.HasMore()) {
        Print(run.console, "***Error: Option -l requires a filename. Return -1.\n");
        return -1;
      }
      options.log_path = TakeToken(parser);
    } else if (letter == 'l') {
      options.import_library_path = RestElseNext(token, parser);
      if (!options.import_library_path) {
        Print(run.console, "***Option -l requires a filename. Return -1.\n");
        return -1;
      }
    } else if (letter == 'e') {
      options.entry_symbol = RestElseNext(token, parser);
      if (!options.entry_symbol) {
        Print(run.console, "***Error: Option -e requires an entry point symbol. Return -1.\n");
        return -1;
      }
    } else if (letter == 'r') {
      options.module_name = RestElseNext(token, parser);
      if (!options.module_name) {
        Print(run.console, "***Error: Option -r requires the name of the QDE or QDM. Return -1.\n");
        return -1;
      }
    } else if (letter == 'x' && EqualsIgnoreAsciiCase(rest, "all")) {
      options.export_all = true;
    } else if (letter == 'x' && EqualsIgnoreAsciiCase(rest, "not")) {
      if (!parser.HasMore()) {
        Print(run.console, "***Error: Option -xnot requires an export exclude list file name. Return -1.\n");
        return -1;
      }
      options.exclude_path = TakeToken(parser);
    } else if (letter == 'x') {
      options.def_path = RestElseNext(token, parser);
      if (!options.def_path) {
        Print(run.console, "***Error: Option -x requires an export list file name. Return -1.\n");
        return -1;
      }
    } else if (token.compare(0, 3, "-MF") == 0) {
      // An addition to the option table, spelled as gcc spells it.
      if (token.size() > 3) {
        options.depfile_path = token.substr(3);
      } else if (parser.HasMore()) {
        options.depfile_path = TakeToken(parser);
      } else {
        Print(run.console, "***Error: Option -MF requires a filename. Return -1.\n");
        return -1;
      }
    } else if (letter == 'v') {
      if (token.size() > 2) {
        Print(run.console, "***Error: Option -v does not take an argument. Return -1.\n");
        return -1;
      }
      options.verbose = true;
    } else if (IsOneOfWords(after_dash)) {
      if (EqualsIgnoreAsciiCase(after_dash, "checknosda")) options.check_no_sda = true;
      else if (EqualsIgnoreAsciiCase(after_dash, "q")) options.def_only = true;
      else if (EqualsIgnoreAsciiCase(after_dash, "noar")) options.no_archive_header = true;
      else if (EqualsIgnoreAsciiCase(after_dash, "warnsti")) options.warn_sti = true;
      else options.warn_linkonce = true;
    } else {
      Print(run.console, "***Error: Unrecognized option \"%s\" specified. Return -1.\n", token.c_str());
      return -1;
    }
  }
  return kOk;
}

}  // namespace

Status ParseCommandLine(RunState& run, int argc, char** argv, const InputStep& each_input) {
  CommandLineParser parser;
  Status status = parser.Initialise(run.mappings, argc, argv);
  if (status != kOk) {
    Print(run.console, "***Error: Command Line Parser init failed. Return %d.\n", status);
    return status;
  }
  run.response_files = parser.ResponseFilePaths();
  status = PreScan(run, parser);
  if (status != kOk) return status;
  return MainScan(run, parser, each_input);
}

}  // namespace prepqdm
