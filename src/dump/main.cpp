// qdmdump: shows what is inside the files prepqdm writes, and explains which
// symbols a prepqdm command line would export.
//
//   qdmdump [--json] FILE...                                export objects, import libraries
//   qdmdump [--json] EXPORT_OBJECT IMPORT_LIBRARY           both, and whether they belong together
//   qdmdump [--json] [--symbol NAME]... --explain ARGS...   a dry run of prepqdm on ARGS
//
// In file mode options may stand anywhere among the files; --explain ends
// qdmdump's own options, and everything after it is prepqdm's command line.
// Reports go to standard output; messages about unreadable input and usage
// go to standard error. Exit status: 0 clean, 1 problems found (or the
// selection would fail), 2 unreadable input or usage error.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/version.h"
#include "host/entry.h"
#include "inspect/explain.h"
#include "inspect/file_inspector.h"
#include "inspect/pair_check.h"
#include "inspect/render.h"

namespace {

constexpr char kUsage[] =
    "usage: qdmdump [--json] FILE...\n"
    "       qdmdump [--json] [--symbol NAME]... --explain [prepqdm options and inputs]\n"
    "\n"
    "Shows the export tables of an export object and the import tables of an\n"
    "import library (archive or bare stub), with CRCs checked; or, with\n"
    "--explain, runs prepqdm's reading and selection stages without writing\n"
    "anything and tells for every global symbol whether it would be exported,\n"
    "why, and where it was requested.\n"
    "\n"
    "Given one export object and one import library (in either order), it also\n"
    "checks that the library's counts and CRCs are those of the export object;\n"
    "a library that does not belong to it is a problem.\n"
    "\n"
    "  --json          print one JSON document instead of text\n"
    "  --symbol NAME   with --explain: report only on NAME (repeatable)\n"
    "  --explain       the remaining arguments are a prepqdm command line\n"
    "  --version       show the version\n"
    "  --help          show this text\n"
    "  --              end of options: every later argument is a file\n"
    "\n"
    "Exit status: 0 clean, 1 problems found or the selection would fail,\n"
    "2 unreadable input or usage error.\n";

void Write(FILE* stream, const std::string& text) { std::fwrite(text.data(), 1, text.size(), stream); }

int UsageError(const std::string& message) {
  Write(stderr, "qdmdump: " + message + "\n" + kUsage);
  return prepqdm::kDumpBadInput;
}

}  // namespace

prepqdm::Status prepqdm::ProgramMain(int argc, char** argv) {
  bool json = false;
  bool explain = false;
  bool files_only = false;
  std::vector<std::string> symbols;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (files_only || arg.size() < 2 || arg[0] != '-') {
      rest.push_back(arg);
    } else if (arg == "--") {
      files_only = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--symbol") {
      if (i + 1 >= argc) return UsageError("--symbol needs a name");
      symbols.emplace_back(argv[++i]);
    } else if (arg.rfind("--symbol=", 0) == 0) {
      symbols.push_back(arg.substr(9));
    } else if (arg == "--explain") {
      if (!rest.empty()) return UsageError("--explain comes before prepqdm's command line, not after files");
      explain = true;
      rest.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "--help" || arg == "-h") {
      Write(stdout, kUsage);
      return prepqdm::kDumpClean;
    } else if (arg == "--version") {
      Write(stdout, prepqdm::VersionLine("qdmdump"));
      return prepqdm::kDumpClean;
    } else {
      return UsageError("unknown option \"" + arg + "\"");
    }
  }

  if (explain) {
    prepqdm::ExplainReport report = prepqdm::Explain(rest, symbols);
    Write(stdout, json ? prepqdm::RenderJson(report) : prepqdm::RenderText(report));
    if (!report.ran) std::fprintf(stderr, "qdmdump: the prepqdm command line could not be read (status %d)\n",
                                  report.status);
    return prepqdm::ExitStatusOf(report);
  }
  if (!symbols.empty()) return UsageError("--symbol belongs to --explain");
  if (rest.empty()) return UsageError("no file given");
  std::vector<prepqdm::FileReport> reports;
  for (const std::string& path : rest) reports.push_back(prepqdm::InspectFile(path));
  const std::optional<prepqdm::PairCheck> pair = prepqdm::CheckPair(reports);
  Write(stdout, json ? prepqdm::RenderJson(reports, pair) : prepqdm::RenderText(reports, pair));
  std::fflush(stdout);
  for (const std::string& line : prepqdm::ErrorLines(reports)) std::fprintf(stderr, "%s\n", line.c_str());
  return prepqdm::ExitStatusOf(reports, pair);
}
