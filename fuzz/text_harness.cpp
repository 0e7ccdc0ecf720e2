// Definition and exclude text. The input is the definition file, then (after
// a part separator) the exclude file. The definition file is read the way
// definition-file-only mode reads it (every name becomes a record), then
// selected against those records, and the exclude file takes names off the
// list; the export object goes to /dev/null, as the writer is not what this
// harness is after. The whole input is also response-file text, whose tokens
// must never hold a line end, a tab, a quote or a NUL byte, nor a space that
// no quote allowed (a NUL ends a token).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/response_file.h"
#include "driver/run_state.h"
#include "exports/def_file.h"
#include "harness_support.h"
#include "harnesses.h"

namespace fuzzing {

namespace {

void CheckTokens(std::string_view text) {
  std::vector<std::string> tokens;
  prepqdm::TokenizeResponseText(text, tokens);
  bool has_quote = text.find('"') != std::string_view::npos;
  bool has_nul = text.find('\0') != std::string_view::npos;
  for (const std::string& token : tokens) {
    // Only quotes group blanks; only quotes or a leading NUL leave a token empty.
    bool bad = token.find_first_of(std::string_view("\r\n\t\"\0", 5)) != std::string::npos ||
               (!has_quote && token.find(' ') != std::string::npos) ||
               (!has_quote && !has_nul && token.empty());
    if (bad) {
      fprintf(stderr, "==== response-file token of %zu bytes breaks the token rules\n", token.size());
      abort();
    }
  }
}

}  // namespace

int FuzzText(const uint8_t* data, size_t size) {
  CheckTokens(std::string_view(reinterpret_cast<const char*>(data), size));

  std::vector<std::string_view> parts = SplitParts(data, size);
  std::string_view def_text = parts[0];
  std::string_view exclude_text = parts.size() > 1 ? parts[1] : std::string_view();
  HeapMapping def_file(reinterpret_cast<const uint8_t*>(def_text.data()), def_text.size(), "/fuzz/exports.def");
  HeapMapping exclude_file(reinterpret_cast<const uint8_t*>(exclude_text.data()), exclude_text.size(),
                           "/fuzz/exclude.def");

  prepqdm::RunState run;
  std::string console;
  run.console = prepqdm::Sink{nullptr, &console};
  ShowConsoleAtEnd show{"text", console};
  run.options.def_only = true;
  run.options.module_name = "fuzz.qdm";
  // -v on fuzzing-sized inputs; on the big inputs of the resource checks the
  // captured INFO lines would be what is measured.
  run.options.verbose = size < 65536;
  run.options.output_path = "/dev/null";
  if (prepqdm::LoadDefOnlySymbols(run.symbols, run.console, prepqdm::OrNull(run.options.module_name), &def_file.file,
                                  run.options.verbose) !=
      0)
    return 0;
  SelectAndWrite(run, &def_file.file, parts.size() > 1 ? &exclude_file.file : nullptr);
  return 0;
}

}  // namespace fuzzing
