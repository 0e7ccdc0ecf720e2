// qdmdump: shows what is inside the files prepqdm writes, and explains which
// symbols a prepqdm command line would export.
//
//   qdmdump [--json] FILE...               export objects, import libraries
//   qdmdump [--json] --explain ARGS...     a dry run of prepqdm on ARGS
//
// Reports go to standard output; messages about unreadable input and usage
// go to standard error. Exit status: 0 clean, 1 problems found (or the
// selection would fail), 2 unreadable input or usage error.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "inspect/explain.h"
#include "inspect/file_inspector.h"
#include "inspect/render.h"

namespace {

constexpr char kUsage[] =
    "usage: qdmdump [--json] FILE...\n"
    "       qdmdump [--json] --explain [prepqdm options and inputs]\n"
    "\n"
    "Shows the export tables of an export object and the import tables of an\n"
    "import library (archive or bare stub), with CRCs checked; or, with\n"
    "--explain, runs prepqdm's reading and selection stages without writing\n"
    "anything and tells for every global symbol whether it would be exported.\n"
    "\n"
    "  --json      print one JSON document instead of text\n"
    "  --explain   the remaining arguments are a prepqdm command line\n"
    "  --help      show this text\n"
    "  --          end of options: every later argument is a file\n"
    "\n"
    "Exit status: 0 clean, 1 problems found or the selection would fail,\n"
    "2 unreadable input or usage error.\n";

void Write(FILE* stream, const std::string& text) { std::fwrite(text.data(), 1, text.size(), stream); }

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool explain = false;
  std::vector<std::string> rest;
  int i = 1;
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--json") == 0) {
      json = true;
    } else if (std::strcmp(arg, "--explain") == 0) {
      explain = true;
      ++i;
      break;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      Write(stdout, kUsage);
      return prepqdm::kDumpClean;
    } else if (std::strcmp(arg, "--") == 0) {
      ++i;
      break;
    } else if (arg[0] == '-' && arg[1] == '-') {
      std::fprintf(stderr, "qdmdump: unknown option \"%s\"\n%s", arg, kUsage);
      return prepqdm::kDumpBadInput;
    } else {
      break;
    }
  }
  for (; i < argc; ++i) rest.emplace_back(argv[i]);

  if (explain) {
    prepqdm::ExplainReport report = prepqdm::Explain(rest);
    Write(stdout, json ? prepqdm::RenderJson(report) : prepqdm::RenderText(report));
    if (!report.ran) std::fprintf(stderr, "qdmdump: the prepqdm command line could not be read (status %d)\n",
                                  report.status);
    return prepqdm::ExitStatusOf(report);
  }

  if (rest.empty()) {
    Write(stderr, std::string("qdmdump: no file given\n") + kUsage);
    return prepqdm::kDumpBadInput;
  }
  std::vector<prepqdm::FileReport> reports;
  for (const std::string& path : rest) reports.push_back(prepqdm::InspectFile(path));
  Write(stdout, json ? prepqdm::RenderJson(reports) : prepqdm::RenderText(reports));
  std::fflush(stdout);
  for (const std::string& line : prepqdm::ErrorLines(reports)) std::fprintf(stderr, "%s\n", line.c_str());
  return prepqdm::ExitStatusOf(reports);
}
