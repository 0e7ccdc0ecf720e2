// The export object against the GNU tools, in both byte orders: made from
// real compiler output (REL relocations from gcc -m32, RELA from the PPC
// compiler), read by readelf and eu-elflint, and linked by GNU ld into an
// image whose export tables hold the addresses of their symbols.
//
// Findings the format makes unavoidable, accepted here by exact text:
// - ".symtab" has sh_info 0: readelf warns, and GNU ld 2.40 refuses the
//   object outright; the links below use a copy with sh_info 1.
// - eu-elflint does not know the application section type 0x80000001, nor
//   an executable section of that type, nor relocations aimed at it; on
//   i386 it also rejects e_flags 0x80000000 (EF_PPC_EMB, fixed by the format).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "interop/interop_support.h"

namespace interop {
namespace {

const std::vector<std::string> kReadelfAccepts = {
    "readelf: Warning: local symbol 0 found at index >= .symtab's sh_info value of 0"};

const std::vector<std::string> kElflintAccepts = {
    "invalid machine flags: 0x80000000",
    "section [ 1] '.fexports' has unsupported type -2147483647",
    "section [ 1] '.fexports' has unexpected type -2147483647 for an executable section",
    "section [ 2] '.fexports.rela': invalid destination section type",
    "section [ 3] '.dexports' has unsupported type -2147483647",
    "section [ 4] '.dexports.rela': invalid destination section type",
    "No errors"};

const char kLdRefusal[] = "exports.o: .symtab local symbol at index 0 (>= sh_info of 0)";

class ExportObjectTest : public InteropTest {
 protected:
  // Builds the module and its export object exports.o (plus `extra` options).
  void MakeExports(const std::vector<std::string>& extra = {}) {
    BuildModuleInputs();
    if (HasFatalFailure()) return;
    std::vector<std::string> args = {"-o", "exports.o", "@module.rsp"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult run = Prepqdm(args);
    ASSERT_EQ(run.exit_code, 0) << run.out;
  }
};

TEST_P(ExportObjectTest, ReadersAcceptTheTablesMadeFromRealObjects) {
  MakeExports();
  if (HasFatalFailure()) return;

  ProcessResult readelf = Tool("readelf", {"-a", "-W", "exports.o"});
  EXPECT_EQ(readelf.exit_code, 0);
  EXPECT_EQ(Unexpected(readelf.err, kReadelfAccepts), std::vector<std::string>{});
  ProcessResult elflint = Tool("eu-elflint", {"exports.o"});
  EXPECT_EQ(Unexpected(elflint.out + elflint.err, kElflintAccepts), std::vector<std::string>{});

  // readelf sees each table in name order, every entry relocated by the
  // target's absolute 32-bit type at word 0 of its entry, against an
  // undefined global that the table labels leave for the linker.
  ReadBack object = ReadElf(File("exports.o"), tc().big_endian);
  EXPECT_EQ(RelocatedNames(object, ".fexports.rela"), CodeExports());
  EXPECT_EQ(RelocatedNames(object, ".dexports.rela"), DataExports());
  for (const auto& [section, relocations] : object.relocations)
    for (size_t i = 0; i < relocations.size(); ++i) {
      EXPECT_EQ(relocations[i].type, tc().abs32) << section << " " << i;
      EXPECT_EQ(relocations[i].offset, 8 + 8 * i) << section << " " << i;
      EXPECT_EQ(object.symbols[relocations[i].symbol].ndx, "UND") << relocations[i].symbol;
    }
  EXPECT_EQ(object.symbols["qdm_fexports"].ndx, "1");
  EXPECT_EQ(object.symbols["qdm_dexports"].ndx, "3");

  // The log lists the tables in the same order.
  const std::string log = testsupport::WrittenText(File("module.log"));
  std::string listing = "\nCODE:\n";
  for (const std::string& name : CodeExports()) listing += name + "\n";
  listing += "qdm_fexports\n\nDATA:\n";
  for (const std::string& name : DataExports()) listing += name + "\n";
  EXPECT_NE(log.find(listing + "qdm_dexports\n"), std::string::npos);
}

TEST_P(ExportObjectTest, LinkedImageHoldsEachExportsAddress) {
  MakeExports();
  if (HasFatalFailure()) return;

  // GNU ld 2.40 refuses the object as written; when a linker refuses it, it
  // must be for the .symtab sh_info alone.
  ProcessResult as_written = Link("as_written", "mix_entry", {"mixer.o", "exports.o", "libparts.a"});
  if (as_written.exit_code != 0) {
    EXPECT_NE(as_written.err.find(kLdRefusal), std::string::npos) << as_written.err;
  }

  // exports.o stands before the archive, so its references pull the
  // archive members in, as in a module link.
  CopyWithSymtabInfoOne(File("exports.o"), File("exports1.o"), tc().big_endian);
  ProcessResult link = Link("image", "mix_entry", {"mixer.o", "exports1.o", "libparts.a"});
  ASSERT_EQ(link.exit_code, 0) << link.err;
  EXPECT_EQ(link.err, "");

  ReadBack image = ReadElf(File("image"), tc().big_endian);
  EXPECT_EQ(image.symbols["qdm_fexports"].value, image.sections[".fexports"].addr);
  EXPECT_EQ(image.symbols["qdm_dexports"].value, image.sections[".dexports"].addr);
  for (const auto& [label, expected] : {std::pair{"qdm_fexports", CodeExports()}, {"qdm_dexports", DataExports()}}) {
    std::vector<std::string> names;
    for (const TableEntry& entry : LinkedTable(image, label)) {
      names.push_back(entry.name);
      ASSERT_TRUE(image.symbols.count(entry.name)) << entry.name;
      EXPECT_NE(entry.word0, 0u) << entry.name;
      EXPECT_EQ(entry.word0, image.symbols[entry.name].value) << label << ": " << entry.name;
      EXPECT_FALSE(entry.tls_bit) << entry.name;
    }
    EXPECT_EQ(names, expected) << label;
  }
}

TEST_P(ExportObjectTest, RefusesWeakStaticAndLinkonceSymbolsOfRealObjects) {
  BuildModuleInputs();
  if (HasFatalFailure()) return;
  Write("bad.def", "[CODE]\nmix_gain\nclamp\nfilter_fast\nmix_set\n[DATA]\nfilter_taps\nmix_hidden\n");
  ProcessResult run = Prepqdm({"-o", "bad.o", "-x", "bad.def", "mixer.o", "libparts.a"});
  EXPECT_NE(run.exit_code, 0);
  for (const char* line : {
           "***Error: Attempt to export WEAK symbol \"mix_gain\"\n",
           "***Error: missing \"clamp\"\n",
           "***Error: Attempt to export symbol which shouldn't be exported: \"filter_fast\" is a linkonce symbol\n",
           "***Error: Attempt to export WEAK symbol \"filter_taps\"\n",
           "***Error: missing \"mix_hidden\"\n",
           "***Error: 5 exported symbols not found or invalid for export. Return -1.\n",
       })
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "in:\n" << run.out;
  EXPECT_FALSE(testsupport::FileExists(File("bad.o")));

  // Allowed with a warning, the linkonce function links like any other.
  Write("linkonce.def", "[CODE]\nfilter_fast\n");
  run = Prepqdm({"-o", "exports.o", "-x", "linkonce.def", "-warnlinkonce", "mixer.o", "libparts.a"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  EXPECT_NE(run.out.find("\"filter_fast\" is a linkonce symbol.  Export allowed with warning.\n"), std::string::npos);
  CopyWithSymtabInfoOne(File("exports.o"), File("exports1.o"), tc().big_endian);
  ProcessResult link = Link("image", "mix_entry", {"mixer.o", "exports1.o", "libparts.a"});
  ASSERT_EQ(link.exit_code, 0) << link.err;
  ReadBack image = ReadElf(File("image"), tc().big_endian);
  std::vector<std::string> names;
  for (const TableEntry& entry : LinkedTable(image, "qdm_fexports")) {
    names.push_back(entry.name);
    EXPECT_EQ(entry.word0, image.symbols[entry.name].value) << entry.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"codec_encode", "filter_fast"}));  // with the in-code export
}

// -xall against readelf's view of the inputs: every defined global that is
// not weak, not in a linkonce section and not dot-named is exported, in the
// code table exactly when the compiler typed it FUNC.
TEST_P(ExportObjectTest, ExportAllAgreesWithReadelfOnTheInputs) {
  BuildModuleInputs();
  if (HasFatalFailure()) return;
  ProcessResult run = Prepqdm({"-o", "exports.o", "-xall", "mixer.o", "libparts.a"});
  ASSERT_EQ(run.exit_code, 0) << run.out;

  std::vector<std::string> code, data;
  for (const std::string& input : {std::string("mixer"), kCodec, kFilter})
    ExportAllOf(ReadElf(File(input + ".o"), tc().big_endian), code, data);
  std::sort(code.begin(), code.end());
  std::sort(data.begin(), data.end());
  ASSERT_TRUE(std::find(data.begin(), data.end(), "mix_shared") != data.end()) << "the common symbol is exported";

  ReadBack object = ReadElf(File("exports.o"), tc().big_endian);
  EXPECT_EQ(RelocatedNames(object, ".fexports.rela"), code);
  EXPECT_EQ(RelocatedNames(object, ".dexports.rela"), data);
}

// Objects of more than 65,280 sections use extended numbering. One is
// compiled with a section per variable, in source order, the module's own
// code and data last, past 0xFF00 (st_shndx SHN_XINDEX); ld -r of it moves
// the code to the front, and some variables have the real indices 0xFFF1
// and 0xFFF2, the values of SHN_ABS and SHN_COMMON. On the partial link
// -xall agrees with readelf and qdmdump reads and explains it; on the
// compiled object a definition file finds SHN_XINDEX code and data.
TEST_P(ExportObjectTest, ExtendedNumberingOfCompiledAndPartiallyLinkedObjects) {
  std::string source;
  for (int i = 0; i < 66000; ++i) source += "int v" + std::to_string(i) + " = " + std::to_string(i) + ";\n";
  source +=
      "int late_counter = 7;\n"
      "int late_table[16];\n"
      "const int late_limit = 9;\n"
      "int late_shared __attribute__((common));\n"
      "__asm__(\".globl late_absolute\\n.set late_absolute, 0x1234\");\n"
      "static int late_hidden(int x) { return x + late_counter; }\n"
      "int late_entry(int x) { return late_hidden(x) + late_table[1] + late_limit + late_shared; }\n"
      "__attribute__((weak)) int late_hook(void) { return 1; }\n";
  const std::vector<std::string> flags = {"-fno-toplevel-reorder", "-ffunction-sections", "-fdata-sections"};
  Compile("flood", source, flags);
  Compile("tail", "int tail_entry(void) { return 1; }\n", flags);
  if (HasFatalFailure()) return;
  std::vector<std::string> args = tc().ld_flags;
  for (const char* more : {"-r", "-o", "big_r.o", "flood.o", "tail.o"}) args.push_back(more);
  ProcessResult ld = Tool(tc().ld, args);
  ASSERT_EQ(ld.exit_code, 0) << ld.err;

  ReadBack big = ReadElf(File("big_r.o"), tc().big_endian);
  ASSERT_GT(big.sections.size(), 65280u);
  ASSERT_EQ(big.bytes[48] | big.bytes[49], 0) << "e_shnum is 0";
  for (const char* name : {"late_counter", "late_table"}) EXPECT_GE(std::stoi(big.symbols[name].ndx), 0xFF00) << name;
  std::vector<std::string> code, data;
  ExportAllOf(big, code, data);
  std::vector<std::string> at_reserved_values;
  for (const auto& [name, symbol] : big.symbols)
    if (symbol.ndx == "65521" || symbol.ndx == "65522") at_reserved_values.push_back(name);
  ASSERT_EQ(at_reserved_values.size(), 2u);
  for (const std::string& name : {std::string("late_shared"), at_reserved_values[0], at_reserved_values[1]})
    EXPECT_TRUE(std::find(data.begin(), data.end(), name) != data.end()) << name;
  EXPECT_EQ(code, (std::vector<std::string>{"late_entry", "tail_entry"}));

  ProcessResult run = Prepqdm({"-o", "all.o", "-xall", "big_r.o"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  ReadBack all = ReadElf(File("all.o"), tc().big_endian);
  EXPECT_EQ(RelocatedNames(all, ".fexports.rela"), code);
  EXPECT_EQ(RelocatedNames(all, ".dexports.rela"), data);

  ProcessResult dump = testsupport::RunProgram(QDMDUMP_BINARY, {"big_r.o"}, dir_.path());
  EXPECT_NE(dump.out.find("neither an export object nor an import library stub"), std::string::npos) << dump.out;
  dump = testsupport::RunProgram(QDMDUMP_BINARY, {"--explain", "-xall", "big_r.o"}, dir_.path());
  EXPECT_EQ(dump.exit_code, 0) << dump.out << dump.err;
  for (const char* line : {"late_absolute ", "\n    not loadable: absolute symbol (SHN_ABS)\n", "late_hook ",
                           "\n    weak definition\n", "\n66006 of 66008 global symbols would be exported (-xall)\n"})
    EXPECT_NE(dump.out.find(line), std::string::npos) << line;

  // In the compiled object the module's code lies past 0xFF00 too.
  ProcessResult symbols = Tool("readelf", {"-sW", "flood.o"});
  for (const std::string& line : Lines(symbols.out)) {
    std::vector<std::string> w = Words(line);
    if (w.size() == 8 && (w[7] == "late_entry" || w[7] == "late_counter")) {
      EXPECT_GE(std::stoi(w[6]), 0xFF00) << line;
    }
  }
  Write("late.def", "[CODE]\nlate_entry\n[DATA]\nlate_counter\nlate_shared\nlate_table\n" + at_reserved_values[0] +
                        "\n");
  run = Prepqdm({"-o", "named.o", "-x", "late.def", "flood.o"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  ReadBack named = ReadElf(File("named.o"), tc().big_endian);
  EXPECT_EQ(RelocatedNames(named, ".fexports.rela"), std::vector<std::string>{"late_entry"});
  std::vector<std::string> named_data = {"late_counter", "late_shared", "late_table", at_reserved_values[0]};
  std::sort(named_data.begin(), named_data.end());
  EXPECT_EQ(RelocatedNames(named, ".dexports.rela"), named_data);
}

// gcc marks thread-local data with SHF_TLS (0x400) and STT_TLS; the format
// knows a TLS symbol only by section flag 0x04000000 or index 0xFF03. So a
// gcc __thread variable listed under [TLS] goes out as plain data (type 1,
// no TLS bit), and GNU ld then refuses the untyped reference to a TLS
// definition. (ld would refuse a type-78 reference too: the table's
// references are STT_NOTYPE.)
TEST_P(ExportObjectTest, GccThreadLocalIsExportedAsPlainData) {
  Compile("tls", "__thread int tls_counter = 2;\nint tls_entry(void) { return tls_counter; }\n");
  if (HasFatalFailure()) return;
  Write("tls.def", "[TLS]\ntls_counter\n");
  ProcessResult run = Prepqdm({"-o", "exports.o", "-x", "tls.def", "tls.o"});
  ASSERT_EQ(run.exit_code, 0) << run.out;

  ReadBack object = ReadElf(File("exports.o"), tc().big_endian);
  ASSERT_EQ(object.relocations[".dexports.rela"].size(), 1u);
  EXPECT_EQ(object.relocations[".dexports.rela"][0].type, tc().abs32);
  uint32_t table = object.sections[".dexports"].offset;
  EXPECT_EQ(Word(object.bytes, table + 12, tc().big_endian) >> 31, 0u) << "no TLS bit";

  CopyWithSymtabInfoOne(File("exports.o"), File("exports1.o"), tc().big_endian);
  ProcessResult link = Link("image", "tls_entry", {"tls.o", "exports1.o"});
  EXPECT_NE(link.exit_code, 0);
  EXPECT_NE(link.err.find("tls_counter: TLS definition in tls.o section .tdata mismatches non-TLS reference"),
            std::string::npos)
      << link.err;
}

INSTANTIATE_TEST_SUITE_P(Toolchains, ExportObjectTest, ::testing::Values(kI386, kPpc), ToolchainName);

// Link-time optimisation output. gcc -flto alone writes a slim object, its
// code only as bytecode and its symbol table only the marker __gnu_lto_slim:
// prepqdm stops at it, alone or as a member of a GNU ar archive, whatever
// selects the exports, and qdmdump and --explain say why. With
// -ffat-lto-objects the machine code is there too, and the object exports
// what the source compiled without -flto does. clang -flto writes LLVM
// bitcode, which is no ELF object at all.
class LtoObjectTest : public InteropTest {
 protected:
  // The offset of member `name`'s header in archive `archive` (a short name,
  // "name/" in its field), or npos.
  size_t MemberHeaderAt(const std::string& archive, const std::string& name) const {
    const std::vector<uint8_t> bytes = testsupport::ReadFile(File(archive));
    const std::string text(bytes.begin(), bytes.end());
    for (size_t at = text.find(name + "/", 8); at != std::string::npos; at = text.find(name + "/", at + 1))
      if (at % 2 == 0 && text.compare(at + 58, 2, "`\n") == 0) return at;
    return std::string::npos;
  }
};

const char kLtoSource[] =
    "int lto_counter = 3;\n"
    "int lto_table[4];\n"
    "int lto_entry(int x) { return x + lto_counter + lto_table[x & 3]; }\n";

const char kSlimWords[] =
    " holds only LTO bytecode (compiled with -flto without -ffat-lto-objects): give prepqdm objects with machine "
    "code (add -ffat-lto-objects, or run it on the output of ld -r -flto)";

TEST_P(LtoObjectTest, SlimObjectsStopTheRunAndFatOnesExportAsWithoutLto) {
  Compile("slim", kLtoSource, {"-flto"});
  Compile("fat", kLtoSource, {"-flto", "-ffat-lto-objects"});
  Compile("plain", kLtoSource);
  Compile("other", "int other_entry(void) { return 2; }\n");
  if (HasFatalFailure()) return;
  ASSERT_EQ(ReadElf(File("slim.o"), false).symbols.count("__gnu_lto_slim"), 1u);
  ProcessResult ar = Tool("ar", {"rc", "libslim.a", "other.o", "slim.o"});
  ASSERT_EQ(ar.exit_code, 0) << ar.err;
  const size_t header = MemberHeaderAt("libslim.a", "slim.o");
  ASSERT_NE(header, std::string::npos);
  Write("api.def", "[CODE]\nlto_entry\n[DATA]\nlto_counter\n");

  const std::string refusal = std::string("***Error: \"slim.o\"") + kSlimWords + ". Return -1.\n";
  const std::string member_note =
      "  note: member of " + File("libslim.a") + ", header at byte " + std::to_string(header) + "\n";
  const struct {
    std::vector<std::string> args;
    std::string first_lines;
  } refused[] = {
      {{"-xall", "slim.o"}, refusal},
      {{"-x", "api.def", "plain.o", "slim.o"}, refusal},
      {{"-xall", "other.o", "libslim.a"}, refusal + member_note},
      {{"-xall", "slim.o", "missing.o"}, refusal},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = {"-o", "out.o"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult run = Prepqdm(args);
    EXPECT_EQ(run.exit_code, 255) << c.args.back();
    EXPECT_EQ(run.out.substr(0, c.first_lines.size()), c.first_lines) << run.out;
    EXPECT_EQ(access(File("out.o").c_str(), F_OK), -1) << "nothing written";
  }

  // qdmdump and --explain say the same of it.
  ProcessResult dump = testsupport::RunProgram(QDMDUMP_BINARY, {"slim.o", "libslim.a"}, dir_.path());
  EXPECT_NE(dump.err.find(std::string("qdmdump: slim.o:") + kSlimWords + "\n"), std::string::npos) << dump.err;
  EXPECT_NE(dump.err.find("qdmdump: libslim.a(slim.o): header at byte " + std::to_string(header) + ":" + kSlimWords +
                          "; prepqdm stops here\n"),
            std::string::npos)
      << dump.err;
  dump = testsupport::RunProgram(QDMDUMP_BINARY, {"--explain", "-o", "out.o", "-xall", "slim.o"}, dir_.path());
  EXPECT_NE(dump.out.find("prepqdm would print:\n" + refusal), std::string::npos) << dump.out;

  // The fat object exports as the plain one does, by -xall and by name.
  const std::vector<std::vector<std::string>> selections = {{"-xall"}, {"-x", "api.def"}};
  for (const std::vector<std::string>& selection : selections) {
    std::map<std::string, ReadBack> outputs;
    for (const std::string& input : {std::string("fat"), std::string("plain")}) {
      std::vector<std::string> args = {"-o", input + "_exports.o"};
      args.insert(args.end(), selection.begin(), selection.end());
      args.push_back(input + ".o");
      ProcessResult run = Prepqdm(args);
      ASSERT_EQ(run.exit_code, 0) << run.out;
      outputs[input] = ReadElf(File(input + "_exports.o"), false);
    }
    EXPECT_EQ(RelocatedNames(outputs["fat"], ".fexports.rela"), std::vector<std::string>{"lto_entry"});
    for (const char* table : {".fexports.rela", ".dexports.rela"})
      EXPECT_EQ(RelocatedNames(outputs["fat"], table), RelocatedNames(outputs["plain"], table)) << table;
  }
}

TEST_P(LtoObjectTest, ClangBitcodeIsNamedAsSuch) {
  if (FindOnPath("clang").empty()) GTEST_SKIP() << "clang is not on PATH (package clang)";
  Write("c.c", kLtoSource);
  ProcessResult cc = Tool("clang", {"-m32", "-flto", "-c", "c.c", "-o", "c.o"});
  ASSERT_EQ(cc.exit_code, 0) << cc.err;
  ProcessResult ar = Tool("ar", {"rc", "libc.a", "c.o"});
  ASSERT_EQ(ar.exit_code, 0) << ar.err;
  const size_t header = MemberHeaderAt("libc.a", "c.o");
  ASSERT_NE(header, std::string::npos);

  const std::string note = "  note: c.o: LLVM bitcode (clang -flto): give prepqdm objects with machine code\n";
  ProcessResult run = Prepqdm({"-o", "out.o", "-xall", "c.o"});
  EXPECT_EQ(run.exit_code, 255);
  EXPECT_EQ(run.out.rfind("***Error: Unknown file type \"c.o\". Return -1\n" + note, 0), 0u) << run.out;
  run = Prepqdm({"-o", "out.o", "-xall", "libc.a"});
  EXPECT_EQ(run.exit_code, 25) << "the ELF reader's status 0xBAD00019";
  EXPECT_NE(run.out.find("parsing ELF file \"c.o\"\n" + note + "  note: member of " + File("libc.a") +
                         ", header at byte " + std::to_string(header) + "\n"),
            std::string::npos)
      << run.out;

  ProcessResult dump = testsupport::RunProgram(QDMDUMP_BINARY, {"c.o"}, dir_.path());
  EXPECT_NE(dump.err.find("qdmdump: c.o: neither an ELF object nor an ar archive: LLVM bitcode (clang -flto): give "
                          "prepqdm objects with machine code\n"),
            std::string::npos)
      << dump.err;
}

// Both need gcc -m32 with its LTO plugin; the PPC compiler is not asked.
INSTANTIATE_TEST_SUITE_P(I386, LtoObjectTest, ::testing::Values(kI386), ToolchainName);

}  // namespace
}  // namespace interop
