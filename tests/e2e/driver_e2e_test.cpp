// Whole runs of the built program in a temporary working directory: console
// text byte for byte and the exit status.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "elf/elf_format.h"
#include "support/ar_builder.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

using testsupport::ProcessResult;
using testsupport::RunBinary;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::string kProgram = PREPQDM_BINARY;
const char kDefaultWarning[] = "!!!Warning: No output file specified (-o). \"pre_qdm.o\" used.\n";

const char kUsage[] =
    "\n\nprepqdm for Brindle OS SDK Version 2.11.03 (QDM v1.0 DATE TIME)\n"
    "\nUsage:\n"
    "         PREPQDM[ 32 | 64 ] [ options* ] files+\n"
    "\n PrepQDM is given the same inputs as go to the linker.\n"
    " It outputs an additional .o file that is extra input to the linker.\n"
    "\nOptions:\n"
    "    -o <file>              Specify Output .o File\n"
    "    -log <file>            Emit log text file of what was done\n"
    "    -x <file>              Specify DEF file for exports\n"
    "    -xall                  Export all global non-weak loadable symbols\n"
    "    -xnot <file>           Specify Anti-DEF file (exclude list) for exports.\n"
    "    -v                     Print Verbose Information.\n"
    "    -l <file>              Specify Output .a import library file. If used, requires -r.\n"
    "    -r <name>              The name of the QDE or QDM. If used, requires -l.\n"
    "    -L<path>               Search file in <path>\n"
    "    @<file>                Insert <file> at position in command line.\n"
    "    -e <symbol>            [Ignored] Override entrypoint symbol\n"
    "    -noar                  Do not generate library header\n"
    "    -q                     Deprecated implied by using -l and -r with no object files\n"
    "    -checknosda            Deprecated with warning. Pass -checknosda to makedqm instead.\n"
    "    -warnsti               When passed, static initializers are allowed as exports with warning.\n"
    "                           Default: attempt to export a static initializer is an error.\n"
    "    -warnlinkonce          When passed, symbols in linkonce sections are allowed as exports with warning.\n"
    "                           Default: attempt to export a linkonce symbol is an error.\n"
    "\n";

// The build date and time differ from build to build; their form does not
// ("Dec 16 2013 13:40:47"): each stamp of that form becomes DATE TIME.
std::string Normalised(std::string out) {
  const std::string open = "(QDM v1.0 ";
  for (size_t at = out.find(open); at != std::string::npos; at = out.find(open, at + 1)) {
    size_t start = at + open.size();
    if (out.size() - start < 21 || out[start + 20] != ')') continue;
    std::string stamp = out.substr(start, 20);
    bool form = std::isupper(static_cast<unsigned char>(stamp[0])) && stamp[3] == ' ' && stamp[6] == ' ' &&
                stamp[11] == ' ' && stamp[14] == ':' && stamp[17] == ':';
    if (form) out.replace(start, 20, "DATE TIME");
  }
  return out;
}

// The failure report for `args` with `status`.
std::string Report(const std::vector<std::string>& args, int status) {
  std::string text = "\n\n" + kProgram + " FAILED Error = " + std::to_string(status) + "\n\t" + kProgram;
  for (const std::string& arg : args) text += " \\\n\t\t" + arg;
  return text + "\n" + kUsage;
}

ProcessResult RunIn(const TempDir& dir, const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  ProcessResult result = RunBinary(args, dir.path(), env);
  result.out = Normalised(result.out);
  return result;
}

// The archiver stand-in built beside prepqdm.
std::string ToolchainRoot() {
  std::string binary = PREPQDM_BINARY;
  return "TOOLCHAIN_ROOT=" + binary.substr(0, binary.rfind('/'));
}

testsupport::Bytes SmallObject(const std::string& symbol) {
  testsupport::ElfBuilder builder;
  uint32_t text = builder.AddProgbits(".text", 6, testsupport::Bytes(300, 0));
  builder.AddGlobal(symbol, static_cast<uint16_t>(text));
  return builder.Build();
}

}  // namespace

TEST(DriverRun, NoArgumentsReportsMissingInputs) {
  TempDir dir;
  ProcessResult r = RunIn(dir, {});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.out, kDefaultWarning + Report({}, -1) + "\nERROR: No library or object files specified. Return -1.\n");
  EXPECT_EQ(r.err, "");
}

TEST(DriverRun, ImportLibraryNeedsBothNames) {
  TempDir dir;
  for (std::vector<std::string> args : {std::vector<std::string>{"-o", "out.o", "-l", "lib.a", "-log", "x.log"},
                                        std::vector<std::string>{"-o", "out.o", "-r", "mod"}}) {
    ProcessResult r = RunIn(dir, args);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, Report(args, -1) + "\nERROR: -l requires -r and v.v. Return -1.\n");
  }
  EXPECT_FALSE(testsupport::FileExists(dir.File("lib.a")));
  EXPECT_FALSE(testsupport::FileExists(dir.File("x.log")));
  EXPECT_FALSE(testsupport::FileExists(dir.File("out.o")));
}

TEST(DriverRun, ParseFailuresPrintTheirMessageThenUsageOnly) {
  TempDir dir;
  WriteFile(dir.File("empty.rsp"), std::string());
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int exit_code;
  } cases[] = {
      {{"-o", "o.o", "-V"}, "***Error: Unrecognized option \"-V\" specified. Return -1.\n", 255},
      {{"-o", "o.o", "missing.o"}, "***Error: Could not map in file \"missing.o\". Error 0x80070002\n", 2},
      {{"-o", "o.o", "-La", "-L", "b", "missing.o"},
       "***Error: Could not map in file \"missing.o\" in the provided paths. Error 0x80070002\n"
       "Searched in:\n   b\n   a\n",
       2},
      {{"@empty.rsp"}, "***Error: Command Line Parser init failed. Return -2147467259.\n", 5},
      {{"-o", "o.o", "@missing.rsp"}, "***Error: Command Line Parser init failed. Return -2147024894.\n", 2},
  };
  for (const Case& c : cases) {
    ProcessResult r = RunIn(dir, c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args.back();
    EXPECT_EQ(r.out, c.out + kUsage) << c.args.back();
  }
}

TEST(DriverRun, ResponseFilesStandInPlaceAndAreEchoedAsWritten) {
  TempDir dir;
  // -o from the file (no default-output warning), a quoted name with a space.
  WriteFile(dir.File("args.txt"), std::string("-o out.o\r\n\r\n-l\t\"my lib.a\"\n"));
  WriteFile(dir.File("inputs.txt"), std::string("\"my missing.o\""));
  ProcessResult r = RunIn(dir, {"@args.txt", "@inputs.txt"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, std::string("***Error: Could not map in file \"my missing.o\". Error 0x80070002\n") + kUsage);

  ProcessResult unpaired = RunIn(dir, {"@args.txt"});
  EXPECT_EQ(unpaired.exit_code, 255);
  EXPECT_EQ(unpaired.out, Report({"@args.txt"}, -1) + "\nERROR: -l requires -r and v.v. Return -1.\n");
}

TEST(DriverRun, LogInAMissingDirectoryEndsWithErrno) {
  TempDir dir;
  std::vector<std::string> args{"-o", "out.o", "-q", "-log", "nodir/x.log"};
  ProcessResult r = RunIn(dir, args);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "Output to log file \"nodir/x.log\".\n***Error: Could not create log file. error = 2.\n"
                   "  note: nodir/x.log: No such file or directory\n" +
                       Report(args, 2));
}

TEST(DriverRun, SkippedAndUnknownInputs) {
  TempDir dir;
  WriteFile(dir.File("short.o"), std::string(259, 'x'));
  WriteFile(dir.File("long.o"), std::string(260, 'x'));
  std::vector<std::string> args{"-o", "out.o", "Script.LNK", "short.o"};
  ProcessResult skipped = RunIn(dir, args);
  EXPECT_EQ(skipped.exit_code, 255);
  EXPECT_EQ(skipped.out, "PrepQDM - ignoring lnk/ld \"Script.LNK\"\n" + Report(args, -1) +
                             "\nERROR: No library or object files specified. Return -1.\n");

  ProcessResult unknown = RunIn(dir, {"-o", "out.o", "short.o", "long.o"});
  EXPECT_EQ(unknown.exit_code, 255);
  EXPECT_EQ(unknown.out, std::string("***Error: Unknown file type \"long.o\". Return -1\n") + kUsage);
}

// Compiler output without machine code: a slim LTO object (its ".gnu.lto_*"
// sections and the global __gnu_lto_slim) stops the run under the name it
// was given, an archive member's with the archive's note after it; LLVM
// bitcode, raw or wrapped, keeps its refusal and gains a note. The first
// failing input in command-line order is the one reported.
TEST(DriverRun, LtoOutputIsRefusedForWhatItIs) {
  TempDir dir;
  testsupport::ElfBuilder slim;
  slim.AddProgbits(".text", 6, testsupport::Bytes(300, 0));
  slim.AddProgbits(".gnu.lto_.symtab.0", 0, testsupport::Bytes(64, 1));
  slim.AddSymbol({"__gnu_lto_slim", 1, 1, testsupport::Info(prepqdm::STB_GLOBAL, prepqdm::STT_OBJECT), 0,
                  prepqdm::SHN_COMMON});
  const testsupport::Bytes slim_bytes = slim.Build();
  testsupport::Bytes raw = {'B', 'C', 0xC0, 0xDE}, wrapped = {0xDE, 0xC0, 0x17, 0x0B};
  raw.resize(400, 0x35);
  wrapped.resize(400, 0x35);
  const testsupport::Bytes ok = SmallObject("ok_entry");
  WriteFile(dir.File("slim.o"), slim_bytes);
  WriteFile(dir.File("raw.o"), raw);
  WriteFile(dir.File("wrapped.bc"), wrapped);
  WriteFile(dir.File("libslim.a"), testsupport::ArBuilder().Add("ok.o", ok).Add("slim.o", slim_bytes).Build());
  WriteFile(dir.File("libbc.a"), testsupport::ArBuilder().Add("ok.o", ok).Add("c.o", raw).Build());
  const std::string second_header = std::to_string(8 + 60 + ok.size() + ok.size() % 2);
  const std::string slim_words =
      " holds only LTO bytecode (compiled with -flto without -ffat-lto-objects): give prepqdm objects with machine "
      "code (add -ffat-lto-objects, or run it on the output of ld -r -flto). Return -1.\n";
  const std::string bitcode = ": LLVM bitcode (clang -flto): give prepqdm objects with machine code\n";
  const struct {
    std::vector<std::string> inputs;
    std::string out;
    int exit_code = 255;
  } cases[] = {
      {{"-xall", "slim.o"}, "***Error: \"slim.o\"" + slim_words},
      {{"-xall", "./slim.o", "raw.o"}, "***Error: \"./slim.o\"" + slim_words},
      {{"-xall", "raw.o", "slim.o"}, "***Error: Unknown file type \"raw.o\". Return -1\n  note: raw.o" + bitcode},
      {{"-xall", "wrapped.bc"}, "***Error: Unknown file type \"wrapped.bc\". Return -1\n  note: wrapped.bc" + bitcode},
      {{"-xall", "missing.o", "slim.o"}, "***Error: Could not map in file \"missing.o\". Error 0x80070002\n", 2},
      {{"-xall", "libslim.a"},
       "***Error: \"slim.o\"" + slim_words + "  note: member of " + dir.File("libslim.a") + ", header at byte " +
           second_header + "\n"},
      {{"-xall", "libbc.a"},
       "*** Error 0xBAD00019 parsing ELF file \"c.o\"\n  note: c.o" + bitcode + "  note: member of " +
           dir.File("libbc.a") + ", header at byte " + second_header + "\n",
       25},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"-o", "out.o"};
    args.insert(args.end(), c.inputs.begin(), c.inputs.end());
    ProcessResult r = RunIn(dir, args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.inputs.back();
    EXPECT_EQ(r.out, c.out + kUsage) << c.inputs.back();
  }
}

// The following runs register real objects.
TEST(DriverRun, XallExcludesADefinitionFile) {
  TempDir dir;
  WriteFile(dir.File("a.o"), SmallObject("f"));
  WriteFile(dir.File("e.def"), std::string("f\n"));
  std::vector<std::string> args{"-o", "out.o", "-xall", "-x", "e.def", "-log", "build.log", "a.o"};
  ProcessResult r = RunIn(dir, args);
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.out, "Output to log file \"build.log\".\n***Error: -xall and -x <file> cannot be used together.\n" +
                       Report(args, -1));
  EXPECT_EQ(testsupport::WrittenText(dir.File("build.log")), "PREPQDM Log\n");
}

TEST(DriverRun, XallWithoutObjectsFailsBeforeTheReport) {
  TempDir dir;
  std::vector<std::string> args{"-o", "out.o", "-xall", "-l", "lib.a", "-r", "mod"};
  ProcessResult r = RunIn(dir, args);
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.out, "\nERROR: -xall requires library or object files. Return -1.\n" + Report(args, -1));
}

TEST(DriverRun, UnmappableDefinitionAndExcludeFiles) {
  TempDir dir;
  WriteFile(dir.File("a.o"), SmallObject("f"));
  WriteFile(dir.File("empty.def"), std::string());
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"-o", "out.o", "-x", "empty.def", "a.o"}, "Error: Could not map in exports def file \"empty.def\". Return -1.\n"},
      {{"-o", "out.o", "-xall", "-xnot", "none.txt", "a.o"},
       "Error: Could not map in exclude file \"none.txt\". Return -1.\n"},
  };
  for (const Case& c : cases) {
    ProcessResult r = RunIn(dir, c.args);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, c.line + Report(c.args, -1));
  }
}

TEST(DriverRun, LogMayNotOverwriteAnInput) {
  TempDir dir;
  WriteFile(dir.File("a.o"), SmallObject("f"));
  std::vector<uint8_t> before = testsupport::ReadFile(dir.File("a.o"));
  std::vector<std::string> args{"-o", "out.o", "-xall", "-log", "a.o", "a.o"};
  ProcessResult r = RunIn(dir, args);
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.out, "***Error: Log file \"a.o\" is also an input. Return -1.\n" + Report(args, -1));
  EXPECT_EQ(testsupport::ReadFile(dir.File("a.o")), before);
}

TEST(DriverRun, SuccessWritesTheObjectAndTheLogWithoutReport) {
  TempDir dir;
  WriteFile(dir.File("a.o"), SmallObject("f"));
  WriteFile(dir.File("e.def"), std::string("[CODE]\nf\n"));
  ProcessResult r = RunIn(dir, {"-o", "out.o", "-checknosda", "-x", "e.def", "-log", "build.log", "a.o"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.out,
            "\nWARNING: -checknosda is deprecated; pass -checknosda to makeqdm instead.\n"
            "Output to log file \"build.log\".\n");
  EXPECT_TRUE(testsupport::FileExists(dir.File("out.o")));
  std::string expected_head = "PREPQDM Log\nUsing DEF file \"e.def\"\nOutput to \"" + dir.File("out.o") + "\"\n";
  EXPECT_EQ(testsupport::WrittenText(dir.File("build.log")).substr(0, expected_head.size()), expected_head);
}

TEST(DriverRun, DefinitionFileOnlyModes) {
  TempDir dir;
  WriteFile(dir.File("e.def"), std::string("[CODE]\nf\n[DATA]\nd\n"));
  // -l and -r without objects: the definition file alone drives the exports.
  ProcessResult library = RunIn(dir, {"-o", "out.o", "-l", "lib.a", "-r", "mod", "-x", "e.def"}, {ToolchainRoot()});
  EXPECT_EQ(library.exit_code, 0) << library.out;
  EXPECT_TRUE(testsupport::FileExists(dir.File("out.o")));
  EXPECT_TRUE(testsupport::FileExists(dir.File("lib.a")));
  EXPECT_EQ(library.out.find("FAILED Error"), std::string::npos) << library.out;

  // -q alone: the object is written, no library.
  ProcessResult quiet = RunIn(dir, {"-o", "q.o", "-q", "-x", "e.def"});
  EXPECT_EQ(quiet.exit_code, 0) << quiet.out;
  EXPECT_TRUE(testsupport::FileExists(dir.File("q.o")));

  // Without a definition file the stage's own message ends the run, without report.
  ProcessResult none = RunIn(dir, {"-o", "n.o", "-l", "n.a", "-r", "mod"});
  EXPECT_NE(none.exit_code, 0);
  EXPECT_EQ(none.out.find("FAILED Error"), std::string::npos) << none.out;
  EXPECT_FALSE(testsupport::FileExists(dir.File("n.a")));
}

// Nothing to export, with -l: the library is the stub without import
// sections, indexed in an archive or bare, in place of an earlier run's
// library; qdmdump takes it as the export object's pair.
TEST(DriverRun, NothingExportedWritesTheEmptyLibrary) {
  for (bool bare : {false, true}) {
    SCOPED_TRACE(bare ? "-noar" : "archive");
    TempDir dir;
    WriteFile(dir.File("a.o"), SmallObject("f"));
    WriteFile(dir.File("f.def"), std::string("[CODE]\nf\n"));
    WriteFile(dir.File("none.def"), std::string("; exports nothing\n[CODE]\n[DATA]\n"));
    std::vector<std::string> args{"-o", "out.o", "-l", "lib.a", "-r", "out/Sound.qdm", "a.o", "-x"};
    if (bare) args.insert(args.begin(), "-noar");
    args.push_back("f.def");
    ASSERT_EQ(RunIn(dir, args, {ToolchainRoot()}).exit_code, 0);
    args.back() = "none.def";
    ProcessResult r = RunIn(dir, args, {ToolchainRoot()});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out, "");
    std::vector<uint8_t> bytes = testsupport::ReadFile(dir.File("lib.a"));
    std::string library(bytes.begin(), bytes.end());
    EXPECT_EQ(library.find(".fimport_"), std::string::npos);
    EXPECT_EQ(library.rfind(bare ? prepqdm::kElfMagic : "!<arch>\n/ ", 0), 0u) << "the archiver's index first";
    EXPECT_EQ(library.find("sound.qdm.o/") != std::string::npos, !bare);
    ProcessResult dump = testsupport::RunProgram(QDMDUMP_BINARY, {"out.o", "lib.a"}, dir.path());
    EXPECT_EQ(dump.exit_code, 0) << dump.out << dump.err;
    EXPECT_NE(dump.out.find(bare ? "import library of a module (a bare stub does not name it): exports nothing"
                                 : "import library of sound.qdm: exports nothing"),
              std::string::npos)
        << dump.out;
  }
}

// An earlier run's export object among the inputs: its table names are never
// exported. -xall passes them over and writes an object qdmdump accepts; a
// definition file that names one is refused as for a missing name.
TEST(DriverRun, ExportObjectAmongTheInputs) {
  TempDir dir;
  WriteFile(dir.File("a.o"), SmallObject("f"));
  ASSERT_EQ(RunIn(dir, {"-o", "first.o", "-xall", "a.o"}).exit_code, 0);
  ProcessResult all = RunIn(dir, {"-o", "second.o", "-xall", "-log", "x.log", "first.o", "a.o"});
  EXPECT_EQ(all.exit_code, 0) << all.out;
  EXPECT_EQ(all.out, "Output to log file \"x.log\".\n");
  const std::string log = testsupport::WrittenText(dir.File("x.log"));
  const std::string listing = "\n2 CODE EXPORTS\n\nCODE:\nf\nqdm_fexports\n";  // f and the table's own label
  EXPECT_TRUE(log.ends_with(listing)) << log;
  ProcessResult dump = testsupport::RunProgram(QDMDUMP_BINARY, {"second.o"}, dir.path());
  EXPECT_EQ(dump.exit_code, 0) << dump.out;

  WriteFile(dir.File("e.def"), std::string("[CODE]\nf\nqdm_fexports\n"));
  std::vector<std::string> args{"-o", "third.o", "-x", "e.def", "first.o", "a.o"};
  ProcessResult named = RunIn(dir, args);
  EXPECT_EQ(named.exit_code, 255);
  EXPECT_EQ(named.out, "***Error: missing \"qdm_fexports\"\n"
                       "  note: qdm_fexports: a name every export object defines itself\n"
                       "***Error: 1 exported symbols not found or invalid for export. Return -1.\n" +
                           Report(args, -1));
  EXPECT_FALSE(testsupport::FileExists(dir.File("third.o")));
}

// The import library's date comes from SOURCE_DATE_EPOCH: a value that is
// not a number of seconds, or one above the 12 digits of the date field,
// ends the run before anything is written; without the archive header no
// date is read, so the value does not matter.
TEST(DriverRun, SourceDateEpochMustBeSeconds) {
  TempDir dir;
  WriteFile(dir.File("a.o"), SmallObject("f"));
  WriteFile(dir.File("e.def"), std::string("[CODE]\nf\n"));
  const std::string ax = "TOOLCHAIN_ROOT=" + std::string(AX_BINARY).substr(0, std::string(AX_BINARY).rfind('/'));
  std::vector<std::string> args{"-o", "out.o", "-x", "e.def", "-l", "lib.a", "-r", "m", "-log", "x.log", "a.o"};
  const std::string kTooLarge = "\" does not fit the 12-digit date field of the import library. Return -1.\n";
  const std::pair<const char*, std::string> refused[] = {
      {"abc", "\" is not a number of seconds. Return -1.\n"},
      {"-5", "\" is not a number of seconds. Return -1.\n"},
      {"", "\" is not a number of seconds. Return -1.\n"},
      {"1000000000000", kTooLarge},
      {"99999999999999999999999", kTooLarge},
  };
  for (const auto& [bad, message] : refused) {
    ProcessResult r = RunBinary(args, dir.path(), {std::string("SOURCE_DATE_EPOCH=") + bad, ax});
    EXPECT_EQ(r.exit_code, 255) << bad;
    EXPECT_EQ(Normalised(r.out), "***Error: SOURCE_DATE_EPOCH \"" + std::string(bad) + message + Report(args, -1));
    EXPECT_FALSE(testsupport::FileExists(dir.File("out.o")) || testsupport::FileExists(dir.File("x.log"))) << bad;
  }
  // The archiver may have put its index first: the member is named m.o.
  // Leading zeros are not written, so they do not count against the field.
  for (const auto& [epoch, field] : {std::pair{"1700000000", "1700000000  "}, {"999999999999", "999999999999"},
                                     {"0000999999999999", "999999999999"}}) {
    ProcessResult good = RunBinary(args, dir.path(), {std::string("SOURCE_DATE_EPOCH=") + epoch, ax});
    EXPECT_EQ(good.exit_code, 0) << good.out;
    std::vector<uint8_t> bytes = testsupport::ReadFile(dir.File("lib.a"));
    std::string library(bytes.begin(), bytes.end());
    size_t member = library.find("m.o/");
    ASSERT_NE(member, std::string::npos);
    EXPECT_EQ(library.substr(member + 16, 12), field) << epoch;
  }
  args.insert(args.begin(), "-noar");
  EXPECT_EQ(RunBinary(args, dir.path(), {"SOURCE_DATE_EPOCH=abc"}).exit_code, 0);
}

// --version and --help are additions, answered from the real command line
// wherever they stand, before anything is read or written; in a response
// file they are words like any other. The archiver stand-in answers both too.
TEST(DriverRun, VersionAndHelpAreAdditionsThatWriteNothing) {
  const std::string version = "(Brindle OS SDK Version 2.11.03)\n";
  const std::string help = std::string(kUsage) +
                           "Also: -MF <file> writes a Make-syntax dependency file on success; --version prints the "
                           "version; --help prints this text.\n";
  const std::string ax_usage =
      "usage: ax -ts <archive>\n"
      "  gives the archive a symbol index (replacing one it has), as GNU ar s does\n"
      "  ax --version, ax --help\n";
  struct Case {
    std::string program;
    std::vector<std::string> args;
    int exit_code;
    std::string out_start;  // the whole output when `whole`
    bool whole;
    std::string err = "";
  } cases[] = {
      {kProgram, {"-o", "out.o", "--version"}, 0, "prepqdm ", false},
      {kProgram, {"--version", "-o", "out.o", "missing.o", "-bad"}, 0, "prepqdm ", false},
      {kProgram, {"-o", "out.o", "--help", "missing.o"}, 0, help, true},
      {kProgram, {"--help", "-bad"}, 0, help, true},
      {kProgram, {"-o", "out.o", "@help.rsp"}, 255, "***Error: Unrecognized option \"--help\" specified.", false},
      {AX_BINARY, {"--version"}, 0, "ax ", false},
      {AX_BINARY, {"--help"}, 0, ax_usage, true},
      {AX_BINARY, {"--help", "lib.a"}, 2, "", true, ax_usage},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir.File("help.rsp"), std::string("--help\n"));
    ProcessResult r = testsupport::RunProgram(c.program, c.args, dir.path());
    r.out = Normalised(r.out);
    const std::string what = c.program + " " + c.args.front();
    EXPECT_EQ(r.exit_code, c.exit_code) << what;
    if (c.whole) {
      EXPECT_EQ(r.out, c.out_start) << what;
    } else {
      EXPECT_EQ(r.out.rfind(c.out_start, 0), 0u) << what << ": " << r.out;
    }
    if (c.out_start == "prepqdm " || c.out_start == "ax ") {
      EXPECT_TRUE(r.out.size() > version.size() &&
                  r.out.compare(r.out.size() - version.size(), version.size(), version) == 0)
          << what << ": " << r.out;
    }
    EXPECT_EQ(r.err, c.err) << what;
    EXPECT_FALSE(testsupport::FileExists(dir.File("out.o"))) << what;
  }
}

// A device as an output is given the finished bytes after the regular
// outputs are in place; a device that refuses them fails the run with the
// writer's message, and takes back the outputs already put in place. A log
// that cannot be written whole is only noted. (Linux device names: not under
// the Windows launcher.)
TEST(DriverRun, DeviceTargets) {
  if (std::getenv("PREPQDM_TEST_LAUNCHER")) GTEST_SKIP() << "Linux device files";
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string out;    // before the report, if any
    bool library_left;  // lib.a exists afterwards
  } cases[] = {
      {{"-o", "/dev/null", "-l", "lib.a"}, 0, "", true},
      {{"-o", "out.o", "-l", "/dev/null"}, 0, "", false},
      {{"-o", "/dev/full", "-l", "lib.a"}, 28,
       "***Error: Could not write to output file.\n  note: /dev/full: No space left on device\n", false},
      {{"-o", "out.o", "-l", "/dev/full"}, 28,
       "***Error: Could not write to output library file.\n  note: /dev/full: No space left on device\n"
       "***Error 0x0000001C creating import lib \"/dev/full\"\n",
       false},
      {{"-o", "out.o", "-l", "lib.a", "-log", "/dev/full"}, 0,
       "Output to log file \"/dev/full\".\n  note: /dev/full: No space left on device\n", true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir.File("a.o"), SmallObject("f"));
    std::vector<std::string> args = c.args;
    for (const char* more : {"-r", "m", "-xall", "a.o"}) args.push_back(more);
    ProcessResult r = RunIn(dir, args, {ToolchainRoot()});
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out;
    EXPECT_EQ(r.out, c.exit_code == 0 ? c.out : c.out + Report(args, c.exit_code));
    EXPECT_EQ(testsupport::FileExists(dir.File("lib.a")), c.library_left) << r.out;
    // The export object beside a library that failed is taken back.
    if (c.exit_code != 0) {
      EXPECT_FALSE(testsupport::FileExists(dir.File("out.o")));
    }
  }
}
