// Explain mode on objects with every kind of symbol export selection treats
// specially, in both byte orders; the reasons must be prepqdm's own messages,
// and nothing may be written.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include "dump_fixture.h"
#include "inspect/explain.h"
#include "inspect/file_inspector.h"
#include "inspect/json_writer.h"
#include "inspect/render.h"
#include "json_reader.h"
#include "support/ar_builder.h"
#include "symbols/tracked_symbol.h"

using namespace prepqdm;
using namespace dumptest;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

const char kOddName[] = "odd\xFF\"\n\xC3\xA4";

// a.o: f, g, w (weak), lo (linkonce), __sti__x, a..b, .L1, abs (SHN_ABS),
// common (SHN_COMMON), noalloc (section without SHF_ALLOC), dup (weak) and a
// name with awkward bytes; libb.a(b.o): dup (strong).
void WriteInputs(const TempDir& dir, bool big) {
  testsupport::ElfBuilder a(big, big ? EM_PPC : 3);
  uint16_t text = static_cast<uint16_t>(a.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(64, 0)));
  uint16_t data = static_cast<uint16_t>(a.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(64, 0)));
  uint16_t linkonce = static_cast<uint16_t>(a.AddProgbits(".gnu.linkonce.t.lo", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0)));
  uint16_t note = static_cast<uint16_t>(a.AddProgbits(".note.x", 0, Bytes(8, 0)));
  a.AddGlobal("f", text, 0, 4);
  a.AddGlobal("g", text, 4, 4);
  a.AddGlobal("w", text, 8, 4, STT_FUNC, STB_WEAK);
  a.AddGlobal("lo", linkonce, 0, 4);
  a.AddGlobal("__sti__x", text, 12, 4);
  a.AddGlobal("a..b", text, 16, 4);
  a.AddGlobal(".L1", text, 20, 4);
  a.AddGlobal("abs", SHN_ABS, 5, 0, 0);
  a.AddGlobal("common", SHN_COMMON, 4, 4, STT_OBJECT);
  a.AddGlobal("noalloc", note, 0, 0, 0);
  a.AddGlobal("dup", data, 0, 4, STT_OBJECT, STB_WEAK);
  a.AddGlobal(kOddName, text, 24, 4);
  testsupport::WriteFile(dir.File("a.o"), a.Build());
  testsupport::ElfBuilder b(big, big ? EM_PPC : 3);
  uint16_t b_data = static_cast<uint16_t>(b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(64, 0)));
  b.AddGlobal("dup", b_data, 0, 4, STT_OBJECT);
  testsupport::WriteFile(dir.File("libb.a"), testsupport::ArBuilder().Add("b.o", b.Build()).Build());
}

std::map<std::string, const ExplainSymbol*> ByName(const ExplainReport& r) {
  std::map<std::string, const ExplainSymbol*> m;
  for (const ExplainSymbol& s : r.symbols) m[s.name] = &s;
  return m;
}

std::set<std::string> Files(const std::string& directory) {
  std::set<std::string> names;
  if (DIR* d = opendir(directory.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

}  // namespace

TEST(Explain, ExportAllVerdictsAndNothingWritten) {
  for (bool big : {true, false}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    TempDir dir;
    WriteInputs(dir, big);
    testsupport::WriteFile(dir.File("excl"), std::string("g\n"));
    const std::set<std::string> before = Files(dir.path());
    ExplainReport r = Explain({"-o", dir.File("out.o"), "-xall", "-xnot", dir.File("excl"), "-log", dir.File("log"),
                               "-l", dir.File("lib.a"), "-r", "M.qdm", dir.File("a.o"), dir.File("libb.a")});
    EXPECT_EQ(Files(dir.path()), before);
    ASSERT_TRUE(r.ran) << r.console;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ExitStatusOf(r), kDumpClean);

    struct Row {
      const char* name;
      Verdict verdict;
      const char* reason;
    } rows[] = {
        {"f", Verdict::kExported, nullptr},
        {"common", Verdict::kExported, nullptr},
        {"dup", Verdict::kExported, nullptr},
        {kOddName, Verdict::kExported, nullptr},
        {"g", Verdict::kExcluded, "named in the exclude file"},
        {"w", Verdict::kPassedOver, "weak definition"},
        {"lo", Verdict::kPassedOver, "defined in a linkonce section"},
        {"__sti__x", Verdict::kPassedOver, "static initializer (name begins with __sti__)"},
        {"a..b", Verdict::kPassedOver, "name contains \"..\""},
        {".L1", Verdict::kPassedOver, "name begins with '.'"},
        {"abs", Verdict::kPassedOver, "not loadable: absolute symbol (SHN_ABS)"},
        {"noalloc", Verdict::kPassedOver, "not loadable: section 4 (.note.x) is not allocated (no SHF_ALLOC)"},
    };
    auto symbols = ByName(r);
    EXPECT_EQ(symbols.size(), std::size(rows));
    for (const Row& row : rows) {
      ASSERT_TRUE(symbols.count(row.name)) << row.name;
      const ExplainSymbol& s = *symbols[row.name];
      EXPECT_EQ(VerdictName(s.verdict), std::string(VerdictName(row.verdict))) << row.name;
      if (row.reason) {
        EXPECT_EQ(s.reasons, std::vector<std::string>{row.reason}) << row.name;
      }
    }
    // The strong definition from the archive member is the one in force.
    EXPECT_EQ(symbols["dup"]->input, dir.File("libb.a") + "(b.o)");
    EXPECT_FALSE(symbols["dup"]->weak);
    EXPECT_EQ(symbols["dup"]->kind, "data");
    EXPECT_TRUE(symbols["w"]->weak);
    EXPECT_EQ(symbols["f"]->kind, "code");
    EXPECT_EQ(symbols["f"]->input, dir.File("a.o"));
    EXPECT_EQ(symbols["lo"]->class_flags, CLASS_LINKONCE);
    EXPECT_EQ(symbols["a..b"]->class_flags, CLASS_DOUBLE_DOT);
  }
}

// Requested names: each refusal reason is a line prepqdm itself prints for
// the same command line.
TEST(Explain, DefinitionFileRefusalsAreThePrintedMessages) {
  TempDir dir;
  WriteInputs(dir, false);
  testsupport::WriteFile(dir.File("m.def"), std::string("[CODE]\nf\nw\nlo\n__sti__x\na..b\nnothere\nf\n"));
  std::vector<std::string> args = {"-o",    dir.File("out.o"), "-x", dir.File("m.def"), "-warnsti",
                                   "-xnot", dir.File("m.def"), dir.File("a.o"), dir.File("libb.a")};
  ExplainReport r = Explain(args);
  ASSERT_TRUE(r.ran) << r.console;
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(ExitStatusOf(r), kDumpProblems);
  EXPECT_FALSE(testsupport::FileExists(dir.File("out.o")));
  EXPECT_EQ(r.missing, std::vector<std::string>{"nothere"});

  // The run fails and writes nothing: what passed every check is not "exported".
  auto symbols = ByName(r);
  EXPECT_EQ(symbols["f"]->verdict, Verdict::kWouldExport);
  EXPECT_EQ(symbols["g"]->verdict, Verdict::kNotRequested);
  EXPECT_EQ(symbols["__sti__x"]->verdict, Verdict::kWouldExport);
  EXPECT_EQ(symbols["__sti__x"]->warnings,
            std::vector<std::string>{"***Warning: Attempt to export symbol which shouldn't be exported: \"__sti__x\" is "
                                     "a static initializer symbol.  Export allowed with warning."});
  EXPECT_EQ(symbols["w"]->reasons, std::vector<std::string>{"***Error: Attempt to export WEAK symbol \"w\""});
  EXPECT_EQ(symbols["a..b"]->reasons,
            std::vector<std::string>{
                "***Error: Attempt to export symbol which shouldn't be exported: \"a..b\" is a \"..\" symbol"});
  testsupport::InProcessResult real = testsupport::RunInProcess(args);
  EXPECT_EQ(real.status, -1);
  for (const char* name : {"w", "lo", "a..b"}) {
    EXPECT_EQ(symbols[name]->verdict, Verdict::kRefused) << name;
    ASSERT_EQ(symbols[name]->reasons.size(), 1u) << name;
    EXPECT_NE(real.console.find(symbols[name]->reasons[0] + "\n"), std::string::npos) << name;
  }
}

// Exclusion is a verdict only for what was chosen: a listed name that nothing
// requested stays "not requested" (a search of the printed text called it
// excluded), and a name chosen with a warning keeps the warning.
TEST(Explain, ExclusionAppliesToChosenNamesOnly) {
  TempDir dir;
  WriteInputs(dir, false);
  testsupport::WriteFile(dir.File("m.def"), std::string("[CODE]\nf\n__sti__x\n"));
  testsupport::WriteFile(dir.File("x.def"), std::string("g\n__sti__x\n"));
  ExplainReport r = Explain({"-o", dir.File("out.o"), "-x", dir.File("m.def"), "-xnot", dir.File("x.def"), "-warnsti",
                             dir.File("a.o"), dir.File("libb.a")});
  ASSERT_TRUE(r.ran) << r.console;
  EXPECT_EQ(r.status, 0);
  auto symbols = ByName(r);
  EXPECT_EQ(symbols["f"]->verdict, Verdict::kExported);
  EXPECT_EQ(symbols["g"]->verdict, Verdict::kNotRequested);
  EXPECT_EQ(symbols["__sti__x"]->verdict, Verdict::kExcluded);
  ASSERT_EQ(symbols["__sti__x"]->warnings.size(), 1u);
  EXPECT_EQ(symbols["__sti__x"]->warnings[0].rfind("***Warning: ", 0), 0u);
}

TEST(Explain, DefinitionFileOnlyMode) {
  TempDir dir;
  testsupport::WriteFile(dir.File("m.def"), std::string("[DATA]\nd1\n[TLS]\nt1\n[CODE]\n__sti__y\n"));
  ExplainReport r = Explain({"-o", dir.File("out.o"), "-x", dir.File("m.def"), "-l", dir.File("lib.a"), "-r", "M"});
  ASSERT_TRUE(r.ran) << r.console;
  EXPECT_TRUE(r.def_only);
  auto symbols = ByName(r);
  EXPECT_EQ(symbols["d1"]->verdict, Verdict::kWouldExport);
  EXPECT_EQ(symbols["d1"]->input, "");
  EXPECT_EQ(symbols["t1"]->kind, "tls");
  EXPECT_EQ(symbols["__sti__y"]->verdict, Verdict::kRefused);
  EXPECT_EQ(Files(dir.path()), std::set<std::string>{"m.def"});
}

// Inputs the run stops at: the report is prepqdm's messages, notes included
// (GCC's slim LTO output, LLVM bitcode).
TEST(Explain, UnreadableCommandLineIsBadInput) {
  TempDir dir;
  testsupport::ElfBuilder slim;
  slim.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(300, 0));
  slim.AddProgbits(".gnu.lto_.symtab.0", 0, Bytes(16, 1));
  slim.AddGlobal("__gnu_lto_slim", SHN_COMMON, 1, 1, STT_OBJECT);
  testsupport::WriteFile(dir.File("slim.o"), slim.Build());
  Bytes bitcode = {0xDE, 0xC0, 0x17, 0x0B};
  bitcode.resize(400, 0);
  testsupport::WriteFile(dir.File("c.o"), bitcode);
  const struct {
    const char* input;
    std::string printed;
  } cases[] = {
      {"nothere.o", "***Error: Could not map in file \"nothere.o\""},
      {"slim.o",
       "prepqdm would print:\n***Error: \"slim.o\" holds only LTO bytecode (compiled with -flto without "
       "-ffat-lto-objects): give prepqdm objects with machine code (add -ffat-lto-objects, or run it on the output "
       "of ld -r -flto). Return -1.\n\nthe reading stages failed (status -1); nothing to explain\n"},
      {"c.o",
       "prepqdm would print:\n***Error: Unknown file type \"c.o\". Return -1\n  note: c.o: LLVM bitcode (clang "
       "-flto): give prepqdm objects with machine code\n\nthe reading stages failed (status -1)"},
  };
  for (const auto& c : cases) {
    testsupport::ProcessResult r =
        testsupport::RunProgram(QDMDUMP_BINARY, {"--explain", "-o", "x.o", "-xall", c.input}, dir.path());
    EXPECT_EQ(r.exit_code, kDumpBadInput) << c.input;
    EXPECT_NE(r.out.find(c.printed), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("qdmdump: the prepqdm command line could not be read"), std::string::npos) << c.input;
  }
}

TEST(Explain, JsonDocumentParsesBackByteExact) {
  TempDir dir;
  WriteInputs(dir, true);
  testsupport::ProcessResult r = testsupport::RunProgram(
      QDMDUMP_BINARY, {"--json", "--explain", "-o", "out.o", "-xall", "a.o", "libb.a"}, dir.path());
  EXPECT_EQ(r.exit_code, kDumpClean) << r.err;
  Json doc = JsonParser::Parse(r.out);
  EXPECT_EQ(doc["mode"].string, "explain");
  EXPECT_TRUE(doc["would_write"].boolean);
  std::map<std::string, std::string> verdicts;
  for (const Json& s : doc["symbols"].array) verdicts[s["name"].string] = s["verdict"].string;
  EXPECT_EQ(verdicts[kOddName], "exported");
  EXPECT_EQ(verdicts["noalloc"], "passed-over");
  EXPECT_EQ(verdicts.size(), 12u);

  // A strict parser agrees, and gives back the same bytes.
  testsupport::WriteFile(dir.File("doc.json"), r.out);
  testsupport::ProcessResult py = testsupport::RunProgram(
      "/usr/bin/env",
      {"python3", "-c",
       "import json,sys\n"
       "d=json.load(open(sys.argv[1]))\n"
       "print(*[h for h in (s['name'].encode('utf-8','surrogateescape').hex() for s in d['symbols'])\n"
       "        if h.startswith('6f6464')])",
       "doc.json"},
      dir.path());
  if (py.exit_code == 127) GTEST_SKIP() << "python3 not available";
  EXPECT_EQ(py.exit_code, 0) << py.err;
  std::string hex;
  char byte[3];
  for (unsigned char c : std::string(kOddName)) std::snprintf(byte, sizeof byte, "%02x", c), hex += byte;
  EXPECT_EQ(py.out, hex + "\n");
}

TEST(JsonQuote, BytesRoundTripThroughSurrogateEscapes) {
  struct Row {
    std::string bytes;
    bool escaped;  // contains a byte that is not well-formed UTF-8
  } rows[] = {
      {"plain \"quoted\" back\\slash\ttab\n", false},
      {std::string("nul\0ctl\x01\x1F\x7F", 10), false},
      {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", false},  // 2, 3 and 4 bytes
      {"\xC0\x80", true},                               // overlong
      {"\xED\xA0\x80", true},                           // surrogate
      {"\xE2\x82", true},                               // truncated
      {"\xF4\x90\x80\x80", true},                       // above U+10FFFF
      {"\xFF\xFE\x80", true},
  };
  for (const Row& row : rows) {
    std::string quoted = JsonQuote(row.bytes);
    EXPECT_EQ(JsonParser::Parse(quoted).string, row.bytes) << quoted;
    EXPECT_EQ(quoted.find("\\udc") != std::string::npos, row.escaped) << quoted;
    for (char c : quoted) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << quoted;
  }
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(JsonParser::Parse(JsonQuote(all)).string, all);
}

TEST(ManPages, RenderWithoutWarnings) {
  std::string source = __FILE__;
  std::string man_dir = source.substr(0, source.rfind("/tests/")) + "/man/";
  for (const char* page : {"prepqdm.1", "qdmdump.1"}) {
    testsupport::ProcessResult r = testsupport::RunProgram(
        "/usr/bin/env", {"man", "--warnings", "-l", man_dir + page}, "/", {"MANWIDTH=80", "MAN_KEEP_FORMATTING="});
    if (r.exit_code == 127) GTEST_SKIP() << "man not available";
    EXPECT_EQ(r.exit_code, 0) << page;
    EXPECT_EQ(r.err, "") << page;
    EXPECT_NE(r.out.find("EXIT STATUS"), std::string::npos) << page;
  }
}

// The explain catalogue: each verdict and reason, where it was requested,
// and what is said about names no record holds, through the program's text
// and its JSON. c.o defines f, g, gee, gae, w (weak), lo (linkonce), __sti__x,
// a..b, .L1, the table name qdm_fexports and GCC's LTO marker __gnu_lto_v1;
// libs.a(s.o) a static `hidden`; d.o's .export entry 0 names
// f; e.o's .export entry 0 is relocated, as compilers do it, against the
// section symbol of .text plus the offset of the static function `helper`.
namespace {

void WriteCatalogueInputs(const TempDir& dir) {
  using testsupport::ElfBuilder;
  ElfBuilder c;
  uint16_t text = static_cast<uint16_t>(c.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(64, 0)));
  uint16_t linkonce = static_cast<uint16_t>(c.AddProgbits(".gnu.linkonce.t.lo", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0)));
  uint32_t at = 0;
  for (const char* name : {"f", "g", "gee", "gae", "__sti__x", "a..b", ".L1", "qdm_fexports"})
    c.AddGlobal(name, text, at += 4, 4);
  c.AddGlobal("w", text, 40, 4, STT_FUNC, STB_WEAK);
  c.AddGlobal("lo", linkonce, 0, 4);
  c.AddGlobal("__gnu_lto_v1", SHN_COMMON, 1, 1, STT_OBJECT);
  testsupport::WriteFile(dir.File("c.o"), c.Build());

  ElfBuilder s;
  uint16_t data = static_cast<uint16_t>(s.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(300, 0)));
  s.AddSymbol({"hidden", 0, 4, testsupport::Info(0, STT_OBJECT), 0, data});
  s.AddGlobal("s_api", data, 4, 4, STT_OBJECT);
  testsupport::WriteFile(dir.File("libs.a"), testsupport::ArBuilder().Add("s.o", s.Build()).Build());

  ElfBuilder d;
  d.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(300, 0));
  uint32_t exports = d.AddProgbits(".export", SHF_ALLOC, Bytes(4, 0));
  uint32_t f = d.AddGlobal("f", SHN_UNDEF, 0, 0, 0);
  d.AddRelocations(exports, false, {{0, f, 1, 0}});
  testsupport::WriteFile(dir.File("d.o"), d.Build());

  ElfBuilder e;
  uint16_t e_text = static_cast<uint16_t>(e.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(300, 0)));
  uint32_t e_exports = e.AddProgbits(".export", SHF_ALLOC, Bytes{8, 0, 0, 0});
  uint32_t section = e.AddSymbol({"", 0, 0, testsupport::Info(0, STT_SECTION), 0, e_text});
  e.AddSymbol({"helper", 8, 4, testsupport::Info(0, STT_FUNC), 0, e_text});
  e.AddRelocations(e_exports, false, {{0, section, 1, 0}});
  testsupport::WriteFile(dir.File("e.o"), e.Build());

  testsupport::WriteFile(dir.File("r.def"),
                         std::string("[CODE]\nf\nw\nlo\n__sti__x\na..b\nhidden\ngea\nqdm_fexports\n__gnu_lto_v1\n"));
  testsupport::WriteFile(dir.File("s.def"), std::string("[CODE]\r\nf\r\ng\r\n"));
  testsupport::WriteFile(dir.File("x.def"), std::string("g\n; a comment\nff\n"));
}

struct Explained {
  Json doc;
  std::string text;
};

Explained RunExplain(const TempDir& dir, const std::vector<std::string>& qdmdump_options,
                     const std::vector<std::string>& prepqdm_args) {
  std::vector<std::string> args = qdmdump_options;
  args.push_back("--explain");
  args.insert(args.end(), prepqdm_args.begin(), prepqdm_args.end());
  testsupport::ProcessResult text = testsupport::RunProgram(QDMDUMP_BINARY, args, dir.path());
  args.insert(args.begin(), "--json");
  testsupport::ProcessResult json = testsupport::RunProgram(QDMDUMP_BINARY, args, dir.path());
  EXPECT_EQ(json.exit_code, text.exit_code) << text.out << json.out << json.err;
  return {JsonParser::Parse(json.out), text.out};
}

const Json* Find(const Json& array, const std::string& name) {
  for (const Json& entry : array.array)
    if (entry["name"].string == name) return &entry;
  return nullptr;
}

}  // namespace

TEST(ExplainCatalogue, EveryReasonWithWordsAndWhereRequested) {
  TempDir dir;
  WriteCatalogueInputs(dir);
  const std::vector<std::string> refusals = {"-o", "out.o", "-x", "r.def", "c.o", "libs.a"};
  const std::vector<std::string> success = {"-o", "out.o", "-x", "s.def", "-xnot", "x.def", "c.o", "d.o"};
  const std::vector<std::string> xall = {"-o", "out.o", "-xall", "c.o"};
  struct Row {
    const std::vector<std::string>* run;
    const char* name;
    const char* verdict;
    const char* code;    // "" for none
    const char* why;     // part of the words
    const char* origin;  // the first "requested by" words, "" for none
  } rows[] = {
      {&refusals, "w", "refused", "weak", "the definition in force is weak", "r.def line 3"},
      {&refusals, "lo", "refused", "linkonce", "-warnlinkonce allows it", "r.def line 4"},
      {&refusals, "__sti__x", "refused", "static-init", "-warnsti allows it", "r.def line 5"},
      {&refusals, "a..b", "refused", "double-dot", "contains \"..\"", "r.def line 6"},
      {&refusals, "qdm_fexports", "refused", "table-name", "a name every export object defines itself", "r.def line 9"},
      {&refusals, "__gnu_lto_v1", "refused", "lto-marker", "a marker GCC puts in its LTO objects", "r.def line 10"},
      {&refusals, "g", "not-requested", "selection-stopped", "the selection stopped", ""},
      {&success, "f", "exported", "", "on the export list", "s.def line 2"},
      {&success, "g", "excluded", "excluded", "the exclude file takes it off", "s.def line 3"},
      {&success, "gee", "not-requested", "not-requested", "nothing asks for it", ""},
      {&xall, "w", "passed-over", "weak", "-xall passes it over", "-xall"},
      {&xall, ".L1", "passed-over", "dot-name", "its name begins with '.'", "-xall"},
      {&xall, "qdm_fexports", "passed-over", "table-name", "a name every export object defines itself", "-xall"},
      {&xall, "__gnu_lto_v1", "passed-over", "lto-marker", "a marker GCC puts in its LTO objects", "-xall"},
  };
  std::map<const std::vector<std::string>*, Explained> runs;
  for (const auto* run : {&refusals, &success, &xall}) runs[run] = RunExplain(dir, {}, *run);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + std::string(" in ") + runs[row.run].doc["console"].string);
    const Json* s = Find(runs[row.run].doc["symbols"], row.name);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ((*s)["verdict"].string, row.verdict);
    const std::vector<Json>& codes = (*s)["reason_codes"].array;
    EXPECT_EQ(codes.empty() ? "" : codes[0].string, row.code);
    EXPECT_NE((*s)["why"].string.find(row.why), std::string::npos) << (*s)["why"].string;
    const std::vector<Json>& origins = (*s)["requested_by"].array;
    if (*row.origin == '\0') {
      EXPECT_TRUE(origins.empty());
    } else if (std::string(row.origin) == "-xall") {
      ASSERT_EQ(origins.size(), 1u);
      EXPECT_EQ(origins[0]["source"].string, "xall");
    } else {
      ASSERT_FALSE(origins.empty());
      EXPECT_EQ(origins[0]["source"].string, "definition-file");
      EXPECT_EQ(row.origin, origins[0]["file"].string + " line " + std::to_string(origins[0]["line"].number));
      EXPECT_NE(runs[row.run].text.find("    requested by " + std::string(row.origin) + "\n"), std::string::npos);
    }
    if (row.verdict != std::string("exported")) {
      EXPECT_NE(runs[row.run].text.find("    why: " + (*s)["why"].string + "\n"), std::string::npos);
    }
  }
  // A refused table name's reasons are the two lines prepqdm prints for it.
  const Json& table = (*Find(runs[&refusals].doc["symbols"], "qdm_fexports"))["reasons"];
  ASSERT_EQ(table.array.size(), 2u);
  EXPECT_NE(runs[&refusals].doc["console"].string.find(table[0].string + "\n" + table[1].string + "\n"),
            std::string::npos);

  // f is also asked for by d.o's .export section.
  const Json& f_origins = (*Find(runs[&success].doc["symbols"], "f"))["requested_by"];
  ASSERT_EQ(f_origins.array.size(), 2u);
  EXPECT_EQ(f_origins[1]["source"].string, "export-section");
  EXPECT_EQ(f_origins[1]["input"].string, "d.o");
  EXPECT_EQ(f_origins[1]["entry"].number, 0);

  // Missing names: a static symbol in an archive member, and a misspelling
  // (a transposition is one edit, so gae is as near as gee).
  const Json& refused = runs[&refusals].doc;
  const Json* hidden = Find(refused["absent"], "hidden");
  ASSERT_NE(hidden, nullptr);
  EXPECT_TRUE((*hidden)["requested"].boolean);
  EXPECT_EQ((*hidden)["requested_by"][0]["line"].number, 7);
  ASSERT_EQ((*hidden)["findings"].array.size(), 1u);
  EXPECT_EQ((*hidden)["findings"][0]["kind"].string, "local");
  EXPECT_EQ((*hidden)["findings"][0]["input"].string, "libs.a(s.o)");
  EXPECT_NE(runs[&refusals].text.find("the inputs have a local (static) symbol in libs.a(s.o)"), std::string::npos);
  const Json* gea = Find(refused["absent"], "gea");
  ASSERT_NE(gea, nullptr);
  std::vector<std::string> similar;
  for (const Json& name : (*gea)["did_you_mean"].array) similar.push_back(name.string);
  EXPECT_EQ(similar, (std::vector<std::string>{"gae", "gee", "g"}));
  EXPECT_NE(runs[&refusals].text.find("did you mean: gae, gee, g\n"), std::string::npos);

  // The exclude file's name that took nothing off the list.
  const Json& unmatched = runs[&success].doc["unmatched_excludes"];
  ASSERT_EQ(unmatched.array.size(), 1u);
  EXPECT_EQ(unmatched[0]["name"].string, "ff");
  EXPECT_EQ(unmatched[0]["line"].number, 3);
  EXPECT_EQ(unmatched[0]["did_you_mean"][0].string, "f");
  EXPECT_NE(runs[&success].text.find("    line 3: \"ff\"\n"), std::string::npos) << runs[&success].text;
}

// A static function exported through .export is refused as missing "": the
// report names the object, the entry and the function; --symbol limits the
// report and answers for a name that is not global at all.
TEST(ExplainCatalogue, ExportEntryAgainstAStaticFunctionAndSymbolFilter) {
  TempDir dir;
  WriteCatalogueInputs(dir);
  Explained r = RunExplain(dir, {"--symbol", "", "--symbol", "helper"}, {"-o", "out.o", "e.o", "c.o"});
  EXPECT_EQ(r.doc["status"].number, -1);
  EXPECT_TRUE(r.doc["symbols"].array.empty());
  const Json* entry = Find(r.doc["absent"], "");
  ASSERT_NE(entry, nullptr);
  const Json& origin = (*entry)["requested_by"][0];
  EXPECT_EQ(origin["input"].string, "e.o");
  EXPECT_EQ(origin["entry"].number, 0);
  EXPECT_EQ(origin["local_symbol"].string, "helper");
  EXPECT_NE(r.text.find("requested by .export entry 0 of e.o, relocated against the local symbol \"helper\" "
                        "(through the section symbol of .text + 0x8)"),
            std::string::npos)
      << r.text;
  const Json* helper = Find(r.doc["absent"], "helper");
  ASSERT_NE(helper, nullptr);
  EXPECT_FALSE((*helper)["requested"].boolean);
  EXPECT_EQ((*helper)["findings"][0]["kind"].string, "local");
  EXPECT_NE(r.text.find("no-global     \"helper\""), std::string::npos) << r.text;
}

// C++ functions named in a definition file as they are written in the
// source: explain offers the mangled names that demangle to them, with the
// demangled form beside, before near spellings. cxx.o defines a namespace
// function, a class member, two overloads of add, a template instance, the
// class's vtable (never offered), the C function adds, and a name of a few
// hundred bytes that would demangle to megabytes (each parameter A<> of the
// one before, twice), which is shown as it is.
namespace {

std::string DoublingName(int levels) {
  auto reference = [](int k) {  // S0_, S1_, ... in base 36
    std::string sequence;
    for (int v = k - 1;; v /= 36) {
      sequence.insert(sequence.begin(), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[v % 36]);
      if (v < 36) break;
    }
    return "S" + sequence + "_";
  };
  std::string name = "_Z1f1AIiE";  // S_ is A, S0_ is A<int>
  for (int k = 1; k <= levels; ++k) name += "S_I" + reference(k) + reference(k) + "E";
  return name;
}

}  // namespace

TEST(ExplainCatalogue, CxxNamesWrittenAsInTheSourceLeadToTheMangledNames) {
  TempDir dir;
  testsupport::ElfBuilder c;
  uint16_t text = static_cast<uint16_t>(c.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(64, 0)));
  uint16_t data = static_cast<uint16_t>(c.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(64, 0)));
  const std::string doubling = DoublingName(20);
  uint32_t at = 0;
  for (const std::string& name : {std::string("_ZN5audio12mixer_volumeEi"), std::string("_ZN5audio5Mixer6volumeEv"),
                                  std::string("_Z3addii"), std::string("_Z3addff"),
                                  std::string("_Z5clampIiET_S0_S0_S0_"), std::string("adds"), doubling})
    c.AddGlobal(name, text, at += 4, 4);
  c.AddGlobal("_ZTVN5audio5MixerE", data, 0, 4, STT_OBJECT);
  testsupport::WriteFile(dir.File("cxx.o"), c.Build());

  const char* const volume = "_ZN5audio12mixer_volumeEi (audio::mixer_volume(int))";
  const char* const member = "_ZN5audio5Mixer6volumeEv (audio::Mixer::volume())";
  const char* const clamp = "_Z5clampIiET_S0_S0_S0_ (int clamp<int>(int, int, int))";
  struct Row {
    const char* written;
    std::vector<std::string> did_you_mean;
    std::string line;  // the text's "did you mean" line, "" for none
  } rows[] = {
      {"audio::mixer_volume(int)", {"_ZN5audio12mixer_volumeEi"}, volume},
      {"audio::mixer_volume", {"_ZN5audio12mixer_volumeEi"}, volume},
      {"mixer_volume(int)", {"_ZN5audio12mixer_volumeEi"}, volume},
      {"mixer_volume", {"_ZN5audio12mixer_volumeEi"}, volume},
      {"audio::Mixer::volume()", {"_ZN5audio5Mixer6volumeEv"}, member},
      {"Mixer::volume", {"_ZN5audio5Mixer6volumeEv"}, member},
      {"add", {"_Z3addff", "_Z3addii", "adds"}, "_Z3addff (add(float, float)), _Z3addii (add(int, int)), adds"},
      {"add(int,int)", {"_Z3addii"}, "_Z3addii (add(int, int))"},
      {"clamp<int>", {"_Z5clampIiET_S0_S0_S0_"}, clamp},
      {"clamp(int, int, int)", {"_Z5clampIiET_S0_S0_S0_"}, clamp},
      {"audio::mixer_volume(float)", {}, ""},
      {"audio::Mixer", {}, ""},
  };
  std::string def = "[CODE]\n";
  for (const Row& row : rows) def += row.written + std::string("\n");
  testsupport::WriteFile(dir.File("cxx.def"), def);
  Explained r = RunExplain(dir, {}, {"-o", "out.o", "-x", "cxx.def", "cxx.o"});
  for (const Row& row : rows) {
    const std::string written = row.written;
    SCOPED_TRACE(written);
    const Json* absent = Find(r.doc["absent"], written);
    ASSERT_NE(absent, nullptr);
    std::vector<std::string> offered;
    for (const Json& name : (*absent)["did_you_mean"].array) offered.push_back(name.string);
    EXPECT_EQ(offered, row.did_you_mean);
    for (const Json& match : (*absent)["demangled_matches"].array)
      EXPECT_NE(row.line.find(match["name"].string + " (" + match["demangled"].string + ")"), std::string::npos);
    // The entry's lines: up to the next line that is not indented.
    const size_t from = r.text.find("missing       \"" + written + "\"\n");
    ASSERT_NE(from, std::string::npos) << r.text;
    size_t to = from;
    do to = r.text.find('\n', to) + 1;
    while (r.text.compare(to, 4, "    ") == 0);
    const std::string entry = r.text.substr(from, to - from);
    if (row.line.empty()) EXPECT_EQ(entry.find("did you mean"), std::string::npos) << entry;
    else EXPECT_NE(entry.find("\n    did you mean: " + row.line + "\n"), std::string::npos) << entry;
  }
  // A symbol's row and record carry the demangled name; a C name and the
  // name too costly to demangle go without.
  EXPECT_NE(r.text.find(" _Z3addii (add(int, int)) cxx.o\n"), std::string::npos) << r.text;
  EXPECT_EQ((*Find(r.doc["symbols"], "_Z3addii"))["demangled"].string, "add(int, int)");
  EXPECT_EQ(Find(r.doc["symbols"], "adds")->object.count("demangled"), 0u);
  EXPECT_EQ(Find(r.doc["symbols"], doubling)->object.count("demangled"), 0u);
  EXPECT_NE(r.text.find(" " + doubling + " cxx.o\n"), std::string::npos);
}

// Advice against the run: for each verdict and option, explain and prepqdm
// itself on the same inputs. explain says "exported" exactly when the
// export object holds the symbol, and a remedy it offers, applied, makes the
// real run export it. k.o defines f, g, __sti__s, a..b, hid (hidden), intl
// (internal), w (weak), lo (linkonce), abs (SHN_ABS), inl, weak in the COMDAT
// group "inl" as for a C++ inline function, cd, strong in the COMDAT group
// "cd", and thunk, hidden in the COMDAT group "thunk" as gcc's PIC thunks are;
// short.o is under 260 bytes.
namespace {

void WriteAgreementInputs(const TempDir& dir, bool big) {
  testsupport::ElfBuilder k(big, big ? EM_PPC : 3);
  uint16_t text = static_cast<uint16_t>(k.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(64, 0)));
  uint16_t linkonce = static_cast<uint16_t>(k.AddProgbits(".gnu.linkonce.t.lo", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0)));
  uint16_t inline_text = static_cast<uint16_t>(k.AddProgbits(".text.inl", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0)));
  uint32_t at = 0;
  for (const char* name : {"f", "g", "__sti__s", "a..b"}) k.AddGlobal(name, text, at += 4, 4);
  k.AddSymbol({"hid", 32, 4, testsupport::Info(STB_GLOBAL, STT_FUNC), 2 /* STV_HIDDEN */, text});
  k.AddSymbol({"intl", 36, 4, testsupport::Info(STB_GLOBAL, STT_FUNC), 1 /* STV_INTERNAL */, text});
  k.AddGlobal("w", text, 40, 4, STT_FUNC, STB_WEAK);
  k.AddGlobal("lo", linkonce, 0, 4);
  k.AddGlobal("abs", SHN_ABS, 5, 0, 0);
  Bytes group(8);
  testsupport::Put32(group, 0, 1 /* GRP_COMDAT */, big);
  testsupport::Put32(group, 4, inline_text, big);
  testsupport::SectionDesc group_section{".group", 17 /* SHT_GROUP */, 0, group};
  group_section.link = testsupport::kLinkSymtab;
  group_section.info = k.AddGlobal("inl", inline_text, 0, 4, STT_FUNC, STB_WEAK);
  k.AddSection(group_section);
  for (const char* name : {"cd", "thunk"}) {
    uint16_t member = static_cast<uint16_t>(k.AddProgbits(std::string(".text.") + name, SHF_ALLOC | SHF_EXECINSTR,
                                                          Bytes(8, 0)));
    testsupport::Put32(group, 4, member, big);
    testsupport::SectionDesc comdat{".group", 17 /* SHT_GROUP */, 0, group};
    comdat.link = testsupport::kLinkSymtab;
    comdat.info = k.AddSymbol({name, 0, 4, testsupport::Info(STB_GLOBAL, STT_FUNC),
                               static_cast<uint8_t>(name[0] == 't' ? 2 /* STV_HIDDEN */ : 0), member});
    k.AddSection(comdat);
  }
  testsupport::WriteFile(dir.File("k.o"), k.Build());
  testsupport::WriteFile(dir.File("short.o"), Bytes(200, 0));
}

// -o out.o, `args` with DEF and EXCL as files of `dir`, k.o and short.o.
std::vector<std::string> InDir(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> full = {"-o", dir.File("out.o")};
  for (const std::string& a : args) full.push_back(a == "DEF" || a == "EXCL" ? dir.File(a) : a);
  full.insert(full.end(), {dir.File("k.o"), dir.File("short.o")});
  return full;
}

// The names in the real run's export object; none when it failed.
std::set<std::string> RealExports(const TempDir& dir, const std::vector<std::string>& args) {
  std::remove(dir.File("out.o").c_str());
  std::set<std::string> names;
  if (testsupport::RunInProcess(InDir(dir, args)).status != 0) return names;
  for (const ObjectReport& object : InspectFile(dir.File("out.o")).objects)
    for (const ExportTableFacts& table : object.object.value().export_tables)
      for (const ExportEntryFacts& entry : table.entries) names.insert(entry.name.value_or("?"));
  return names;
}

}  // namespace

TEST(ExplainAgreesWithTheRun, VerdictsAndRemedies) {
  using V = Verdict;
  struct Row {
    std::vector<std::string> args;
    const char* def;  // the definition file's names
    const char* name;
    Verdict verdict;
    bool remedy;
  } rows[] = {
      {{"-xall"}, "", "f", V::kExported, false},
      {{"-xall"}, "", "w", V::kPassedOver, false},
      {{"-xall", "-warnlinkonce"}, "", "lo", V::kPassedOver, false},
      {{"-xall", "-warnsti"}, "", "__sti__s", V::kPassedOver, false},
      {{"-xall"}, "", "inl", V::kPassedOver, false},
      {{"-xall"}, "", "abs", V::kPassedOver, false},
      {{"-xall"}, "", "hid", V::kPassedOver, true},
      {{"-xall"}, "", "intl", V::kPassedOver, true},
      {{"-xall"}, "", "cd", V::kPassedOver, true},
      {{"-xall", "-warnlinkonce"}, "", "cd", V::kPassedOver, true},
      {{"-xall"}, "", "thunk", V::kPassedOver, true},
      {{"-xall", "-xnot", "EXCL"}, "", "f", V::kExcluded, true},
      {{"-x", "DEF"}, "f", "f", V::kExported, false},
      {{"-x", "DEF"}, "f", "g", V::kNotRequested, true},
      {{"-x", "DEF"}, "f", "w", V::kNotRequested, false},
      {{"-x", "DEF"}, "f", "lo", V::kNotRequested, true},
      {{"-x", "DEF"}, "f", "__sti__s", V::kNotRequested, true},
      {{"-x", "DEF"}, "f", "a..b", V::kNotRequested, false},
      {{"-x", "DEF"}, "f", "inl", V::kNotRequested, false},
      {{"-x", "DEF"}, "f", "abs", V::kNotRequested, true},
      {{"-x", "DEF"}, "f", "hid", V::kNotRequested, true},
      {{"-x", "DEF"}, "f", "cd", V::kNotRequested, true},
      {{"-x", "DEF"}, "f\nlo", "lo", V::kRefused, true},
      {{"-x", "DEF", "-warnlinkonce"}, "f\nlo", "lo", V::kExported, false},
      {{"-x", "DEF"}, "f\n__sti__s", "__sti__s", V::kRefused, true},
      {{"-x", "DEF"}, "f\n__sti__s", "f", V::kWouldExport, false},
      {{"-x", "DEF"}, "f\nw", "w", V::kRefused, false},
      {{"-x", "DEF"}, "f\ninl", "inl", V::kRefused, false},
      {{"-x", "DEF"}, "f\nhid", "hid", V::kExported, false},
      {{"-x", "DEF"}, "f\ncd", "cd", V::kRefused, true},
      {{"-x", "DEF", "-warnlinkonce"}, "f\ncd\nthunk", "thunk", V::kExported, false},
      {{"-x", "DEF"}, "f\na..b", "a..b", V::kRefused, false},
      {{"-x", "DEF", "-xnot", "EXCL"}, "f\ng", "g", V::kExcluded, true},
      {{"-x", "DEF", "-xnot", "EXCL"}, "f\nw", "f", V::kWouldExport, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(&row - rows) + ": " + row.name);
    TempDir dir;
    WriteAgreementInputs(dir, false);
    testsupport::WriteFile(dir.File("DEF"), std::string("[CODE]\n") + row.def + "\n");
    testsupport::WriteFile(dir.File("EXCL"), std::string("f\ng\n"));
    ExplainReport r = Explain(InDir(dir, row.args));
    ASSERT_TRUE(r.ran) << r.console;
    ASSERT_TRUE(ByName(r).count(row.name));
    const ExplainSymbol& s = *ByName(r)[row.name];
    EXPECT_EQ(VerdictName(s.verdict), std::string(VerdictName(row.verdict))) << s.why;
    EXPECT_EQ(RealExports(dir, row.args).count(row.name) == 1, s.verdict == V::kExported);
    EXPECT_EQ(r.status == 0, testsupport::FileExists(dir.File("out.o")));
    ASSERT_EQ(s.remedy.has_value(), row.remedy) << s.why;
    if (!s.remedy) continue;

    // The remedy, applied, exports the symbol; each option it adds is in the
    // words. Naming it takes a definition file in place of -xall.
    std::vector<std::string> fixed;
    for (size_t i = 0; i < row.args.size(); ++i) {
      if (s.remedy->unexclude && row.args[i] == "-xnot") ++i;
      else if (s.remedy->request && row.args[i] == "-xall") fixed.insert(fixed.end(), {"-x", "DEF"});
      else fixed.push_back(row.args[i]);
    }
    for (const std::string& option : s.remedy->options) {
      EXPECT_NE(s.why.find(option), std::string::npos) << s.why;
      fixed.push_back(option);
    }
    if (s.remedy->request)
      testsupport::WriteFile(dir.File("DEF"), std::string("[CODE]\n") + row.def + "\n" + row.name + "\n");
    EXPECT_EQ(RealExports(dir, fixed).count(row.name), 1u);
    if (s.remedy->export_all) {
      EXPECT_NE(s.why.find("-xall"), std::string::npos) << s.why;
      EXPECT_EQ(RealExports(dir, {"-xall"}).count(row.name), 1u);
    }
  }
}

// What the rows leave out: inputs passed over, exclusions a stopped
// selection never applied, visibility, the group of a big-endian object
// (its words are not converted), and the text.
TEST(ExplainAgreesWithTheRun, PassedOverInputsStoppedExclusionsAndGroups) {
  TempDir big;
  WriteAgreementInputs(big, true);
  testsupport::WriteFile(big.File("DEF"), std::string("[CODE]\nf\nw\n"));
  testsupport::WriteFile(big.File("EXCL"), std::string("f\nnothere\n"));
  ExplainReport r = Explain(InDir(big, {"-x", "DEF", "-xnot", "EXCL", big.File("k.o")}));
  ASSERT_EQ(r.status, -1) << r.console;
  ASSERT_EQ(r.passed_over_inputs.size(), 2u);
  EXPECT_EQ(r.passed_over_inputs[0].reason, "repeated");
  EXPECT_EQ(r.passed_over_inputs[1].reason, "too-short");
  EXPECT_TRUE(r.unmatched_excludes.empty());
  ASSERT_EQ(r.unapplied_excludes.size(), 2u);
  EXPECT_EQ(r.unapplied_excludes[1].name, "nothere");
  EXPECT_EQ(ByName(r)["inl"]->comdat_group, std::optional<std::string>("inl"));
  EXPECT_EQ(ByName(r)["thunk"]->comdat_group, std::optional<std::string>("thunk"));
  EXPECT_EQ(ByName(r)["hid"]->visibility, "hidden");
  EXPECT_EQ(ByName(r)["thunk"]->class_flags, CLASS_COMDAT);

  TempDir dir;
  WriteAgreementInputs(dir, false);
  testsupport::WriteFile(dir.File("EXCL"), std::string("f\nnothere\n"));
  testsupport::ProcessResult text = testsupport::RunProgram(
      QDMDUMP_BINARY, {"--explain", "-o", "out.o", "-xall", "-xnot", "EXCL", "k.o", "short.o", "x.ld"}, dir.path());
  for (const char* line :
       {"    weak definition in COMDAT group `inl`: a C++ inline function or template\n",
        "    hidden visibility\n    why: -xall passes it over: hidden symbols are not exported by -xall; give it default "
        "visibility or name it in the definition file\n",
        "    internal visibility\n    why: -xall passes it over: internal symbols are not exported by -xall; give it "
        "default visibility or name it in the definition file\n",
        "    in COMDAT group `cd`\n    why: -xall passes it over: it is defined in COMDAT group `cd`, which -xall never "
        "takes: name it in the definition file with -warnlinkonce\n",
        "    hidden visibility\n    in COMDAT group `thunk`\n    why: -xall passes it over: hidden symbols are not "
        "exported by -xall; it is defined in COMDAT group `thunk`, which -xall never takes: name it in the definition "
        "file with -warnlinkonce\n",
        "\nnames in the exclude file EXCL that matched no listed export:\n    line 2: \"nothere\"\n",
        "    short.o: shorter than 260 bytes", "    x.ld: a linker command file", "    visibility: hidden\n"})
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;

  // A run the output-file checks refuse (here the log would overwrite an
  // input): explain stops with the run's status and its line, without the
  // failure report only a run prints.
  const std::vector<std::string> clash = InDir(dir, {"-xall", "-log", dir.File("k.o")});
  const ExplainReport refused = Explain(clash);
  const testsupport::InProcessResult run = testsupport::RunInProcess(clash);
  const std::string line = "***Error: Log file \"" + dir.File("k.o") + "\" is also an input. Return -1.\n";
  EXPECT_FALSE(refused.ran);
  EXPECT_EQ(refused.status, -1);
  EXPECT_EQ(run.status, refused.status);
  EXPECT_EQ(refused.console, line);
  EXPECT_EQ(run.console.substr(0, line.size()), line);
  EXPECT_EQ(refused.passed_over_inputs.size(), 1u);
}
