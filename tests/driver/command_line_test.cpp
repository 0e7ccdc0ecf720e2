#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/driver.h"
#include "driver/response_file.h"
#include "driver/run_state.h"
#include "host/paths.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::ScopedCwd;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::vector<std::string> Tokens(std::string_view text) {
  std::vector<std::string> tokens;
  TokenizeResponseText(text, tokens);
  return tokens;
}

struct Parsed {
  std::unique_ptr<RunState> run = std::make_unique<RunState>();
  std::string console;
  Status status = 0;
};

// Parses {"prepqdm", args...} with the console captured, in the current
// working directory, loading each input as a run does.
std::unique_ptr<Parsed> Parse(const std::vector<std::string>& args) {
  auto parsed = std::make_unique<Parsed>();
  std::vector<std::string> storage{"prepqdm"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  parsed->run->console = Sink{nullptr, &parsed->console};
  parsed->status =
      ParseCommandLine(*parsed->run, static_cast<int>(storage.size()), argv.data(), LoadInputAndEnterSymbols);
  return parsed;
}

std::string Junk(size_t size) { return std::string(size, 'j'); }

const char kDefaultWarning[] = "!!!Warning: No output file specified (-o). \"pre_qdm.o\" used.\n";

}  // namespace

TEST(ResponseFileTokens, SplitLikeTheCommandLine) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"blanks separate", "a b\tc", {"a", "b", "c"}},
      {"quotes group and vanish", "  -x  \"my exports.def\"  a.o \r\n", {"-x", "my exports.def", "a.o"}},
      {"quotes inside a token", "a\"b c\"d", {"ab cd"}},
      {"a tab ends a token inside quotes", "\"a\tb\" c", {"a", "b c"}},
      {"an unmatched quote runs to the line end", "\"rest of  line\nnext", {"rest of  line", "next"}},
      {"trailing blanks are trimmed first", "x \"y  \t \r\n", {"x", "y"}},
      {"any run of CR and LF ends a line", "a\rb\n\r\n\nc\r", {"a", "b", "c"}},
      {"blank lines give nothing", "\r\n \t \n\n", {}},
      {"an empty quoted token is kept", "\"\" b", {"", "b"}},
      {"a NUL ends the token", std::string("a\0b c", 5), {"a", "c"}},
      {"@ is not expanded again", "@inner.txt", {"@inner.txt"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << c.what;
}

TEST(CommandLineParser, ExpandsResponseFilesInPlaceAndSkipsEmptyOnes) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  WriteFile(dir.File("one.rsp"), std::string("b \"c d\"\r\n\r\ne"));
  WriteFile(dir.File("blank.rsp"), std::string("\r\n  \n"));
  WriteFile(dir.File("two.rsp"), std::string("f"));
  std::vector<std::string> storage{"prog", "a", "@one.rsp", "@blank.rsp", "@blank.rsp", "@two.rsp", "g", "@blank.rsp"};
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  Mappings mappings;
  CommandLineParser parser;
  ASSERT_EQ(parser.Initialise(mappings, static_cast<int>(argv.size()), argv.data()), 0);
  EXPECT_TRUE(mappings.live.empty()) << "response files are released once read";
  for (int pass = 0; pass < 2; ++pass) {
    parser.Rewind();
    std::vector<std::string> seen;
    while (parser.HasMore()) {
      seen.emplace_back(parser.CurrentToken());
      parser.Advance();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"prog", "a", "b", "c d", "e", "f", "g"}));
    EXPECT_EQ(parser.CurrentToken(), "");
    parser.Advance();  // at the end: nothing happens
    EXPECT_FALSE(parser.HasMore());
  }
}

TEST(CommandLineParser, ArgumentZeroIsExpandedToo) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  WriteFile(dir.File("zero.rsp"), std::string("p q"));
  std::vector<std::string> storage{"@zero.rsp", "r"};
  std::vector<char*> argv{storage[0].data(), storage[1].data()};
  Mappings mappings;
  CommandLineParser parser;
  ASSERT_EQ(parser.Initialise(mappings, 2, argv.data()), 0);
  parser.Advance();  // one advance passes over the first token only
  EXPECT_EQ(parser.CurrentToken(), "q");
}

// Each row: arguments, the console text expected after the default-output
// warning (or a whole expected console when it starts with '!'), the status,
// and a check of the resulting settings.
TEST(OptionTable, TokensGiveSettingsOrMessages) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  using Check = std::function<void(const RunState&)>;
  struct Case {
    std::vector<std::string> args;
    std::string console;  // after the default-output warning
    Status status;
    Check check;
  } cases[] = {
      {{"-logfile.txt"}, "", 0, [](const RunState& r) {
         EXPECT_EQ(r.options.import_library_path, "ogfile.txt");
         EXPECT_FALSE(r.options.log_path);
       }},
      {{"-lOG", "x"}, "", 0, [](const RunState& r) { EXPECT_EQ(r.options.log_path, "x"); }},
      {{"-Log", "x"},
       "***Error: Could not map in file \"x\" in the provided paths. Error 0x80070002\nSearched in:\n   og\n",
       AsStatus(0x80070002u), [](const RunState& r) {
         EXPECT_EQ(r.options.search_paths, std::vector<std::string>{"og"});
       }},
      {{"-l", "lib.a", "-r", "-xall"}, "", 0, [](const RunState& r) {
         EXPECT_EQ(r.options.import_library_path, "lib.a");
         EXPECT_EQ(r.options.module_name, "-xall");
         EXPECT_FALSE(r.options.export_all);
       }},
      {{"-Q", "-NOAR", "-WarnSti", "-warnLINKONCE", "-CheckNoSda"}, "", 0, [](const RunState& r) {
         EXPECT_TRUE(r.options.def_only);
         EXPECT_TRUE(r.options.no_archive_header);
         EXPECT_TRUE(r.options.warn_sti);
         EXPECT_TRUE(r.options.warn_linkonce);
         EXPECT_TRUE(r.options.check_no_sda);
         EXPECT_FALSE(r.options.verbose);
       }},
      {{"-xALL"}, "", 0, [](const RunState& r) {
         EXPECT_TRUE(r.options.export_all);
         EXPECT_FALSE(r.options.def_path);
       }},
      {{"-xnotes.def"}, "", 0, [](const RunState& r) {
         EXPECT_EQ(r.options.def_path, "notes.def");
         EXPECT_FALSE(r.options.exclude_path);
       }},
      {{"-xNOT", "-ex.txt", "-x", "a.def", "-xb.def"}, "", 0, [](const RunState& r) {
         EXPECT_EQ(r.options.exclude_path, "-ex.txt");
         EXPECT_EQ(r.options.def_path, "b.def");
       }},
      {{"-v"}, "", 0, [](const RunState& r) {
         EXPECT_TRUE(r.options.verbose);
       }},
      {{"-vv"}, "***Error: Option -v does not take an argument. Return -1.\n", -1, nullptr},
      {{"-V"}, "***Error: Unrecognized option \"-V\" specified. Return -1.\n", -1, nullptr},
      {{"-Xall"}, "***Error: Unrecognized option \"-Xall\" specified. Return -1.\n", -1, nullptr},
      {{"-"}, "***Error: Unrecognized option \"-\" specified. Return -1.\n", -1, nullptr},
      {{"-qq"}, "***Error: Unrecognized option \"-qq\" specified. Return -1.\n", -1, nullptr},
      {{"-x"}, "***Error: Option -x requires an export list file name. Return -1.\n", -1, nullptr},
      {{"-xnot"}, "***Error: Option -xnot requires an export exclude list file name. Return -1.\n", -1, nullptr},
      {{"-log"}, "***Error: Option -l requires a filename. Return -1.\n", -1, nullptr},
      {{"-l"}, "***Option -l requires a filename. Return -1.\n", -1, nullptr},
      {{"-r"}, "***Error: Option -r requires the name of the QDE or QDM. Return -1.\n", -1, nullptr},
      {{"32"}, "***Error: Could not map in file \"32\". Error 0x80070002\n", AsStatus(0x80070002u), nullptr},
  };
  for (const Case& c : cases) {
    std::string label = "args:";
    for (const std::string& a : c.args) label += " " + a;
    auto parsed = Parse(c.args);
    EXPECT_EQ(parsed->status, c.status) << label;
    EXPECT_EQ(parsed->console, kDefaultWarning + c.console) << label;
    if (c.check) c.check(*parsed->run);
  }
}

// What the catalogue above leaves out: -MF and -e, attached and missing
// values, and words that only look like an option with a value.
TEST(OptionTable, AttachedAndMissingValues) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  using Check = std::function<void(const Options&)>;
  struct Case {
    std::vector<std::string> args;
    std::string console;  // after the default-output warning
    Check check;
  } cases[] = {
      {{"-MFdeps.d", "-eMain"}, "", [](const Options& o) {
         EXPECT_EQ(o.depfile_path, "deps.d");
         EXPECT_EQ(o.entry_symbol, "Main");
       }},
      {{"-MF", "-v", "-e", "-q"}, "", [](const Options& o) {
         EXPECT_EQ(o.depfile_path, "-v");
         EXPECT_EQ(o.entry_symbol, "-q");
         EXPECT_FALSE(o.verbose);
         EXPECT_FALSE(o.def_only);
       }},
      {{"-x", "all", "-xnot", "all"}, "", [](const Options& o) {
         EXPECT_EQ(o.def_path, "all");
         EXPECT_EQ(o.exclude_path, "all");
         EXPECT_FALSE(o.export_all);
       }},
      {{"-MF"}, "***Error: Option -MF requires a filename. Return -1.\n", nullptr},
      {{"-e"}, "***Error: Option -e requires an entry point symbol. Return -1.\n", nullptr},
      {{"-mf", "x.d"}, "***Error: Unrecognized option \"-mf\" specified. Return -1.\n", nullptr},
      {{"-qnoar"}, "***Error: Unrecognized option \"-qnoar\" specified. Return -1.\n", nullptr},
  };
  for (const Case& c : cases) {
    auto parsed = Parse(c.args);
    EXPECT_EQ(parsed->status, c.check ? 0 : -1) << c.args[0];
    EXPECT_EQ(parsed->console, kDefaultWarning + c.console) << c.args[0];
    if (c.check) c.check(parsed->run->options);
  }
}

TEST(OptionTable, OutputAndSearchPathsComeFromThePreScan) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  struct Case {
    std::vector<std::string> args;
    std::string console;
    Status status;
    std::string output;
    std::vector<std::string> search_paths;
  } cases[] = {
      {{"-ofile.o"}, "", 0, dir.File("file.o"), {}},
      {{"-o", "sub/../file.o", "-Lx"}, "", 0, dir.File("file.o"), {"x"}},
      {{"-o", "a.o", "-o", "b.o"}, "", 0, dir.File("a.o"), {}},  // b.o is not an input
      {{"-o", "a.o", "-ob.o", "-La", "-L", "b"}, "", 0, dir.File("a.o"), {"b", "a"}},
      {{"-o", "-Lx"}, "", 0, dir.File("-Lx"), {}},
      {{"-o"}, "***Error: Option -o requires a filename. Return -1.\n", -1, "", {}},
      {{"-o", "a.o", "-L"}, "***Error: Option -L requires the name of the path. Return -1.\n", -1, "", {}},
  };
  for (const Case& c : cases) {
    auto parsed = Parse(c.args);
    EXPECT_EQ(parsed->status, c.status) << c.args[0];
    EXPECT_EQ(parsed->console, c.console) << c.args[0];
    if (c.status == 0) {
      EXPECT_EQ(parsed->run->options.output_path, c.output);
      EXPECT_EQ(parsed->run->options.search_paths, c.search_paths);
    }
  }
}

TEST(Inputs, FilteredBeforeTheyAreOpened) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  WriteFile(dir.File("small.bin"), Junk(259));
  WriteFile(dir.File("junk.bin"), Junk(260));
  WriteFile(dir.File("empty.o"), "");
  std::filesystem::create_hard_link(dir.File("junk.bin"), dir.File("alias.bin"));
  struct Case {
    std::vector<std::string> args;
    std::string console;
    Status status;
  } cases[] = {
      // Linker command files are never opened, even when missing.
      {{"-o", "o.o", "Script.LNK", "link.ld", "dir.x/noext"},
       "PrepQDM - ignoring lnk/ld \"Script.LNK\"\nPrepQDM - ignoring lnk/ld \"link.ld\"\n"
       "***Error: Could not map in file \"dir.x/noext\". Error 0x80070003\n",
       AsStatus(0x80070003u)},
      // The output is recognised as the same file, not the same spelling:
      // by another name, and also when it cannot be mapped.
      {{"-o", "out.o", "./sub/../out.o"}, "PrepQDM - ignoring output file \"./sub/../out.o\"\n", 0},
      {{"-o", "junk.bin", "alias.bin"},
       "***Error: Output file \"" + dir.File("junk.bin") + "\" is also an input and is not an export object. Return -1.\n",
       -1},
      {{"-o", "empty.o", "empty.o"}, "PrepQDM - ignoring output file \"empty.o\"\n", 0},
      {{"-o", "o.o", "small.bin", "junk.bin"}, "***Error: Unknown file type \"junk.bin\". Return -1\n", -1},
  };
  for (const Case& c : cases) {
    auto parsed = Parse(c.args);
    EXPECT_EQ(parsed->status, c.status) << c.args[2];
    EXPECT_EQ(parsed->console, c.console) << c.args[2];
  }
  auto skipped = Parse({"-o", "o.o", "small.bin"});
  EXPECT_EQ(skipped->status, 0);
  EXPECT_TRUE(skipped->run->mappings.live.empty()) << "a short input is released at once";
}

TEST(Inputs, SearchPathsAreTriedNewestFirst) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  std::filesystem::create_directory(dir.File("a"));
  std::filesystem::create_directory(dir.File("b"));
  WriteFile(dir.File("a/x.o"), Junk(260));
  // Found through a once b has failed.
  auto found = Parse({"-o", "o.o", "-La", "-Lb", "x.o"});
  EXPECT_EQ(found->status, -1);
  EXPECT_EQ(found->console, "***Error: Unknown file type \"x.o\". Return -1\n");
  // b is tried before a: its short x.o wins and is passed over.
  WriteFile(dir.File("b/x.o"), Junk(259));
  auto shadowed = Parse({"-o", "o.o", "-La", "-Lb", "x.o"});
  EXPECT_EQ(shadowed->status, 0);
  EXPECT_EQ(shadowed->console, "");
}

// Options and inputs are taken in one pass: whichever fails first in
// command-line order is reported, response files expanded where they stand,
// and a value an option takes is never loaded.
TEST(Inputs, TheFirstFailureInCommandLineOrderIsReported) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  WriteFile(dir.File("missing.rsp"), std::string("missing.o"));
  const std::string missing = "***Error: Could not map in file \"missing.o\". Error 0x80070002\n";
  const std::string unknown = "***Error: Unrecognized option \"-zz\" specified. Return -1.\n";
  struct Case {
    std::vector<std::string> args;
    std::string console;
  } cases[] = {
      {{"missing.o", "-zz"}, missing},
      {{"-zz", "missing.o"}, unknown},
      {{"@missing.rsp", "-zz"}, missing},
      {{"-x", "missing.o", "-zz"}, unknown},
      {{"-ex", "missing.o", "-zz"}, missing},
      {{"-r", "missing.o", "-l"}, "***Option -l requires a filename. Return -1.\n"},
  };
  for (const Case& c : cases) {
    auto parsed = Parse(c.args);
    EXPECT_NE(parsed->status, 0) << c.args[0];
    EXPECT_EQ(parsed->console, kDefaultWarning + c.console) << c.args[0];
  }
}

// A full path beyond the host's limit (the classic buffer on Windows) fails
// that attempt only; with no limit, the name is looked for where it points.
TEST(Inputs, OverLongPathsFailThatAttemptOnly) {
  TempDir dir;
  const std::string deep = dir.File(std::string(40, 'd'));
  std::filesystem::create_directory(deep);
  ScopedCwd cwd(deep);
  // Fits below the short temporary directory, not below the deep one.
  std::string name = std::string(250 - dir.path().size(), 'n') + ".o";
  WriteFile(dir.File(name), Junk(260));
  auto alone = Parse({"-o", "o.o", name});
  const size_t full_length = FullPath(name, SIZE_MAX).value_or(std::string()).size();
  const Status first = full_length >= kInputPathLimit ? kEUnexpected : kEFileNotFound;
  EXPECT_EQ(alone->status, first);
  EXPECT_EQ(alone->console, Format("***Error: Could not map in file \"%s\". Error 0x%08X\n", name.c_str(),
                                   static_cast<uint32_t>(first)));
  auto searched = Parse({"-o", "o.o", "-L" + dir.path(), name});
  EXPECT_EQ(searched->status, -1);
  EXPECT_EQ(searched->console, "***Error: Unknown file type \"" + name + "\". Return -1\n");
  std::string script = std::string(250, 's') + ".lnk";
  auto linker = Parse({"-o", "o.o", script});
  EXPECT_EQ(linker->status, 0);
  EXPECT_EQ(linker->console, "PrepQDM - ignoring lnk/ld \"" + script + "\"\n");
}

// Needs the object reader: registration of real objects.
TEST(Inputs, ObjectsAreRegisteredOncePerPath) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  testsupport::ElfBuilder builder;
  uint32_t text = builder.AddProgbits(".text", 6, testsupport::Bytes(300, 0));
  builder.AddGlobal("f", static_cast<uint16_t>(text));
  WriteFile(dir.File("a.o"), builder.Build());
  auto parsed = Parse({"-o", "o.o", "a.o", "a.o", "./a.o", "x/../a.o"});
  ASSERT_EQ(parsed->status, 0) << parsed->console;
  EXPECT_EQ(parsed->run->inputs.registry.count, 1);
  EXPECT_EQ(parsed->run->inputs.files.size(), 1u);
  ASSERT_NE(parsed->run->inputs.registry.head, nullptr);
  EXPECT_EQ(parsed->run->inputs.registry.head->name, "a.o");
  EXPECT_EQ(parsed->run->inputs.registry.head->file->reference_count.load(), 1);
}

TEST(FailureReport, EchoesEachArgumentOnItsOwnLineWithTheSignedStatus) {
  RunState run;
  std::string console;
  run.console = Sink{nullptr, &console};
  std::vector<std::string> storage{"prog", "@args.txt", "-o", "x.o"};
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  PrintFailureReport(run, 4, argv.data(), AsStatus(0xBAD00018u));
  const std::string head = "\n\nprog FAILED Error = -1160773608\n\tprog \\\n\t\t@args.txt \\\n\t\t-o \\\n\t\tx.o\n"
                           "\n\nprepqdm for Brindle OS SDK Version 2.11.03 (QDM v1.0 ";
  EXPECT_EQ(console.substr(0, head.size()), head);
}
