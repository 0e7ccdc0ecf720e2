// Command-line parsing: response files, the pre-scan for -o and -L, and the
// main scan of options and inputs, which hands each input to the caller's
// step as it meets it.
//
// The arguments are read through a CommandLineParser that expands every @file
// argument in place, so both scans see one flat sequence of tokens. The
// pre-scan runs first because the output name and the search paths must be
// known before any input is looked at.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/response_file.h"
#include "elf/input_files.h"
#include "host/mapped_file.h"
#include "host/status.h"

namespace prepqdm {

struct RunState;

class CommandLineParser {
 public:
  // Reads every response file (argument 0 included). Returns 0; -1 for no
  // arguments; or the status of a response file that cannot be read.
  Status Initialise(Mappings& mappings, int count, char** vector);

  // Back to argument 0 (past empty response files), every response file at
  // its first token.
  void Rewind();
  // To the next token: the next one of the current response file, or the
  // next argument, passing over response files without tokens.
  void Advance();
  bool HasMore() const { return position_ < count_; }
  // Empty at the end.
  std::string_view CurrentToken() const;
  // Full paths of the response files read, in command-line order.
  std::vector<std::string> ResponseFilePaths() const;

 private:
  bool IsEmptyResponseFile(int32_t index) const;
  void SkipEmptyResponseFiles();

  int32_t count_ = -1;
  char** vector_ = nullptr;
  int32_t position_ = -1;
  std::vector<std::unique_ptr<ResponseFile>> slots_;  // null for a plain argument
};

// What the scan does with an input, where the command line names it: `search`
// holds the output and the search paths the pre-scan found. Returns 0, or a
// non-zero status after its message.
using InputStep = std::function<Status(RunState& run, const InputSearch& search, const std::string& token)>;

// Fills run.options and run.response_files, and hands each input to
// `each_input` in command-line order, between the options around it: the
// first failure in that order, an option's or an input's, ends the scan.
// Returns 0, or a non-zero status after its message.
Status ParseCommandLine(RunState& run, int argc, char** argv, const InputStep& each_input);

}  // namespace prepqdm
