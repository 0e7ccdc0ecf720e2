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

// One option of the main scan. A token is the option when, after its dash,
// it starts with `prefix` (case counts) and the rest is either anything
// (`word` null) or `word`, in any case. The first entry that matches wins.
struct OptionEntry {
  enum class Argument : uint8_t {
    kPreScanned,  // -o, -L: taken by the pre-scan; a separate value is passed over
    kFlag,        // a word, or a letter that nothing may follow
    kNext,        // always the next token
    kRestOrNext,  // what follows the prefix, else the next token
  };
  const char* prefix;
  const char* word;
  Argument argument;
  std::optional<std::string> Options::*value;
  bool Options::*flag;
  // Printed when the argument is missing, or when something follows a flag
  // letter.
  const char* refused;
};

using Argument = OptionEntry::Argument;

constexpr OptionEntry kOptions[] = {
    {"o", nullptr, Argument::kPreScanned, nullptr, nullptr, nullptr},
    {"L", nullptr, Argument::kPreScanned, nullptr, nullptr, nullptr},
    // Before -l, which would take "og" as its file.
    {"", "log", Argument::kNext, &Options::log_path, nullptr,
     "***Error: Option -l requires a filename. Return -1.\n"},
    {"l", nullptr, Argument::kRestOrNext, &Options::import_library_path, nullptr,
     "***Option -l requires a filename. Return -1.\n"},
    {"e", nullptr, Argument::kRestOrNext, &Options::entry_symbol, nullptr,
     "***Error: Option -e requires an entry point symbol. Return -1.\n"},
    {"r", nullptr, Argument::kRestOrNext, &Options::module_name, nullptr,
     "***Error: Option -r requires the name of the QDE or QDM. Return -1.\n"},
    {"x", "all", Argument::kFlag, nullptr, &Options::export_all, nullptr},
    {"x", "not", Argument::kNext, &Options::exclude_path, nullptr,
     "***Error: Option -xnot requires an export exclude list file name. Return -1.\n"},
    {"x", nullptr, Argument::kRestOrNext, &Options::def_path, nullptr,
     "***Error: Option -x requires an export list file name. Return -1.\n"},
    // An addition to the option table, spelled as gcc spells it.
    {"MF", nullptr, Argument::kRestOrNext, &Options::depfile_path, nullptr,
     "***Error: Option -MF requires a filename. Return -1.\n"},
    {"v", nullptr, Argument::kFlag, nullptr, &Options::verbose,
     "***Error: Option -v does not take an argument. Return -1.\n"},
    {"", "checknosda", Argument::kFlag, nullptr, &Options::check_no_sda, nullptr},
    {"", "q", Argument::kFlag, nullptr, &Options::def_only, nullptr},
    {"", "noar", Argument::kFlag, nullptr, &Options::no_archive_header, nullptr},
    {"", "warnsti", Argument::kFlag, nullptr, &Options::warn_sti, nullptr},
    {"", "warnlinkonce", Argument::kFlag, nullptr, &Options::warn_linkonce, nullptr},
};

// The entry for `after_dash` (the token without its dash), or null.
const OptionEntry* FindOption(std::string_view after_dash) {
  for (const OptionEntry& entry : kOptions) {
    const std::string_view prefix(entry.prefix);
    if (after_dash.substr(0, prefix.size()) != prefix) continue;
    if (entry.word == nullptr || EqualsIgnoreAsciiCase(after_dash.substr(prefix.size()), entry.word)) return &entry;
  }
  return nullptr;
}

// Applies `entry`, met as `token`, to the options. Returns 0, or -1 after
// the entry's message.
Status TakeOption(RunState& run, CommandLineParser& parser, const OptionEntry& entry, const std::string& token) {
  const std::string rest = token.substr(1 + std::string_view(entry.prefix).size());
  std::optional<std::string> argument;
  switch (entry.argument) {
    case Argument::kPreScanned:
      if (rest.empty() && parser.HasMore()) parser.Advance();
      return kOk;
    case Argument::kFlag:
      if (entry.word == nullptr && !rest.empty()) break;
      run.options.*entry.flag = true;
      return kOk;
    case Argument::kNext:
      if (parser.HasMore()) argument = TakeToken(parser);
      break;
    case Argument::kRestOrNext:
      if (!rest.empty()) argument = rest;
      else if (parser.HasMore()) argument = TakeToken(parser);
      break;
  }
  if (!argument) {
    Print(run.console, "%s", entry.refused);
    return -1;
  }
  run.options.*entry.value = std::move(argument);
  return kOk;
}

Status MainScan(RunState& run, CommandLineParser& parser, const InputStep& each_input) {
  const Options& options = run.options;
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
    const OptionEntry* entry = FindOption(std::string_view(token).substr(1));
    if (entry == nullptr) {
      Print(run.console, "***Error: Unrecognized option \"%s\" specified. Return -1.\n", token.c_str());
      return -1;
    }
    Status status = TakeOption(run, parser, *entry, token);
    if (status != kOk) return status;
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
