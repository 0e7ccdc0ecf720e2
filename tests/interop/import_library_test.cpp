// The import library against the GNU tools, in both byte orders: after the
// ax stand-in has indexed it, ar and nm read it, readelf and eu-elflint
// accept its stub object, and GNU ld links a consumer against it alone, each
// reference landing in the slot of the right table entry.
//
// Accepted eu-elflint findings: the application section type 0x80000002 of
// the import sections is unknown to it, and so is an executable section of
// that type. readelf reads the stub without a warning.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "interop/interop_support.h"

namespace interop {
namespace {

const std::vector<std::string> kStubElflintAccepts = {
    "section [ 1] '.fimport_module.qdm' has unsupported type -2147483646",
    "section [ 1] '.fimport_module.qdm' has unexpected type -2147483646 for an executable section",
    "section [ 2] '.dimport_module.qdm' has unsupported type -2147483646",
    "No errors"};

// Calls one exported function, reads one exported variable, and keeps the
// addresses of two exports in data words.
const char kConsumer[] =
    "extern int mix_set(int);\n"
    "extern int mix_volume;\n"
    "extern const char codec_name[];\n"
    "int* consumer_volume = &mix_volume;\n"
    "const char* consumer_name = codec_name;\n"
    "int consumer_entry(void) { return mix_set(3) + mix_volume; }\n";

class ImportLibraryTest : public InteropTest {
 protected:
  void MakeLibrary() {
    BuildModuleInputs();
    if (HasFatalFailure()) return;
    ProcessResult run = Prepqdm({"-o", "exports.o", "@module.rsp", "-v", "-l", "libmodule.a", "-r", "out/Module.QDM"});
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("exec: "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("FAILED"), std::string::npos) << run.out;
  }

  // The consumer linked against `library` alone; its image read back.
  ReadBack LinkConsumer(const std::string& library) {
    Compile("consumer", kConsumer);
    ProcessResult link = Link("consumer", "consumer_entry", {"consumer.o", library});
    EXPECT_EQ(link.exit_code, 0) << link.err;
    EXPECT_EQ(link.err, "");
    return ReadElf(File("consumer"), tc().big_endian);
  }

  // Each export of the consumer's image is at the slot of its entry, the
  // data words hold the slots they point at, and the call goes to its slot.
  void ExpectSlots(const ReadBack& image, const std::vector<std::string>& code, const std::vector<std::string>& data) {
    uint32_t fimport = image.sections.at(".fimport_module.qdm").addr;
    uint32_t dimport = image.sections.at(".dimport_module.qdm").addr;
    auto slot = [](uint32_t base, const std::vector<std::string>& names, const std::string& name) {
      return base + 8 + 8 * static_cast<uint32_t>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    for (const auto& [base, names] : {std::pair{fimport, code}, {dimport, data}})
      for (const std::string& name : names) EXPECT_EQ(image.symbols.at(name).value, slot(base, names, name)) << name;
    EXPECT_EQ(image.WordAt(image.symbols.at("consumer_volume").value), slot(dimport, data, "mix_volume"));
    EXPECT_EQ(image.WordAt(image.symbols.at("consumer_name").value), slot(dimport, data, "codec_name"));

    ProcessResult dis = Tool(tc().objdump, {"-d", "--disassemble=consumer_entry", "consumer"});
    uint32_t call_target = 0;
    for (const std::string& line : Lines(dis.out)) {
      std::vector<std::string> w = Words(line);
      if (w.size() >= 3 && w.back() == "<mix_set>") call_target = Hex(w[w.size() - 2]);
    }
    EXPECT_EQ(call_target, slot(fimport, code, "mix_set")) << dis.out;
  }
};

TEST_P(ImportLibraryTest, ArNmReadelfAndElflintReadTheIndexedLibrary) {
  MakeLibrary();
  if (HasFatalFailure()) return;
  EXPECT_EQ(Tool("ar", {"t", "libmodule.a"}).out, "module.qdm.o\n");
  std::string index = "Archive index:\n";
  for (const auto& names : {CodeExports(), DataExports()})
    for (const std::string& name : names) index += name + " in module.qdm.o\n";
  ProcessResult nm = Tool("nm", {"-s", "libmodule.a"});
  EXPECT_NE(nm.out.find(index + "\n"), std::string::npos) << nm.out;

  ASSERT_EQ(Tool("ar", {"x", "libmodule.a"}).exit_code, 0);
  ProcessResult readelf = Tool("readelf", {"-a", "-W", "module.qdm.o"});
  EXPECT_EQ(readelf.exit_code, 0);
  EXPECT_EQ(readelf.err, "");
  ProcessResult elflint = Tool("eu-elflint", {"module.qdm.o"});
  EXPECT_EQ(Unexpected(elflint.out + elflint.err, kStubElflintAccepts), std::vector<std::string>{});

  ReadBack stub = ReadElf(File("module.qdm.o"), tc().big_endian);
  EXPECT_EQ(stub.error, "");
  for (const auto& [type, ndx, names] : {std::tuple{"FUNC", "1", CodeExports()}, {"OBJECT", "2", DataExports()}})
    for (size_t i = 0; i < names.size(); ++i) {
      const Symbol& symbol = stub.symbols[names[i]];
      EXPECT_EQ(symbol.type, type) << names[i];
      EXPECT_EQ(symbol.ndx, ndx) << names[i];
      EXPECT_EQ(symbol.value, 8 + 8 * i) << names[i];
    }
}

TEST_P(ImportLibraryTest, ConsumerResolvesIntoTheSlotsOfTheRightEntries) {
  MakeLibrary();
  if (HasFatalFailure()) return;
  ReadBack image = LinkConsumer("libmodule.a");
  if (HasFailure()) return;
  ExpectSlots(image, CodeExports(), DataExports());
}

// A module that exports nothing: its library (the stub without import
// sections, big-endian PowerPC as the empty export object) is indexed, read
// by ar and readelf, and a module links against it with ld -r, taking
// nothing from it.
TEST_P(ImportLibraryTest, ModuleLinksAgainstTheLibraryOfAModuleThatExportsNothing) {
  Compile("consumer", "int consumer_entry(void) { return 3; }\n");
  Write("none.def", "; nothing to export\n[CODE]\n[DATA]\n");
  ProcessResult run = Prepqdm({"-o", "none.o", "-x", "none.def", "-l", "libnone.a", "-r", "None.qdm", "consumer.o"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Tool("ar", {"t", "libnone.a"}).out, "none.qdm.o\n");
  ASSERT_EQ(Tool("ar", {"x", "libnone.a"}).exit_code, 0);
  ProcessResult readelf = Tool("readelf", {"-h", "-S", "-s", "-W", "none.qdm.o"});
  EXPECT_EQ(readelf.exit_code, 0);
  EXPECT_EQ(readelf.err, "");
  EXPECT_NE(readelf.out.find("Number of section headers:         4"), std::string::npos) << readelf.out;

  std::vector<std::string> args = tc().ld_flags;
  for (const char* more : {"-r", "-o", "linked.o", "consumer.o", "libnone.a"}) args.push_back(more);
  ProcessResult link = Tool(tc().ld, args);
  EXPECT_EQ(link.exit_code, 0) << link.err;
  EXPECT_EQ(link.err, "");
  EXPECT_EQ(ReadElf(File("linked.o"), tc().big_endian).symbols.count("consumer_entry"), 1u);
}

// Modules as the compilers build them by default: position-independent C
// (the compiler's defaults, and -fPIC), where gcc puts each i386
// __x86.get_pc_thunk.* (a hidden global) into a COMDAT group of every object,
// and C++ with inline functions, templates, static data in a template, a
// hidden function and a strong global in a COMDAT group of its own. -xall
// takes exactly what readelf says it should, no hidden or internal symbol
// and nothing of a COMDAT group; and a consumer built the same way, with its
// own copies of the thunks, inline functions and template instances, links
// against the import library with ld -r, taking the module's exports from it.
const char kCxxShared[] =
    "template <typename T> struct Box {\n"
    "  static T shared;\n"
    "  T value;\n"
    "  T get() const { return value + shared; }\n"
    "};\n"
    "template <typename T> T Box<T>::shared = T(3);\n"
    "inline int twice(int x) { return 2 * x; }\n"
    "template <typename T> T add(T a, T b) { return a + b; }\n";

TEST_P(ImportLibraryTest, PositionIndependentAndCxxModulesLeaveHiddenAndComdatSymbols) {
  struct Variant {
    const char* name;
    bool cxx;
    std::vector<std::string> flags;  // beside the target's
    std::vector<std::string> passed_over;  // globals of the inputs that -xall must pass over
    std::string api;                       // an exported function the consumer calls
  } variants[] = {
      {"C, the compiler's defaults", false, {}, {"module_hidden", "module_hidden_data", "module_internal"},
       "module_api"},
      {"C, -fPIC", false, {"-fPIC"}, {"module_hidden", "module_hidden_data", "module_internal"}, "module_api"},
      {"C++", true, {}, {"_Z13module_hiddeni", "module_grouped"}, "_Z10module_apii"},
  };
  const std::string c_module =
      "int module_counter = 5;\n"
      "const char module_name[] = \"mod\";\n"
      "static int module_static;\n"
      "__attribute__((visibility(\"hidden\"))) int module_hidden_data = 2;\n"
      "__attribute__((visibility(\"hidden\"))) int module_hidden(int x) { return x + module_counter; }\n"
      "__attribute__((visibility(\"internal\"))) int module_internal(int x) { return x * 2; }\n"
      "__attribute__((visibility(\"protected\"))) int module_protected(int x) { return x - module_static; }\n"
      "int module_api(int x) {\n"
      "  return module_hidden(x) + module_internal(x) + module_protected(x) + module_hidden_data;\n"
      "}\n";
  const std::string cxx_module =
      std::string(kCxxShared) +
      "int module_counter = 5;\n"
      "__attribute__((visibility(\"hidden\"))) int module_hidden(int x) { return x; }\n"
      "int module_api(int x) { Box<int> b{x}; return b.get() + twice(x) + add(x, 1) + module_hidden(x); }\n"
      "extern \"C\" int module_c_api(void) { return add<long>(1, 2) > 0; }\n"
      "__asm__(\".section .text.module_grouped,\\\"axG\\\",@progbits,module_grouped,comdat\\n\"\n"
      "        \".globl module_grouped\\n.type module_grouped,@function\\nmodule_grouped:\\n.long 0\\n\"\n"
      "        \".size module_grouped,4\\n.previous\\n\");\n";
  const std::string more = "extern int module_counter;\nint module_more(void) { return module_counter; }\n";
  const std::string c_consumer =
      "extern int module_api(int);\n"
      "extern int module_counter;\n"
      "int* consumer_counter = &module_counter;\n"
      "int consumer_entry(void) { return module_api(3) + module_counter; }\n";
  const std::string cxx_consumer =
      std::string(kCxxShared) +
      "int module_api(int);\n"
      "extern int module_counter;\n"
      "int consumer_entry() { Box<int> b{1}; return module_api(b.get()) + twice(2) + add(3, 4) + module_counter; }\n";
  const std::string ext_of[] = {".c", ".cpp"};

  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    const std::string ext = ext_of[v.cxx];
    const std::string compiler = v.cxx ? tc().cxx : tc().cc;
    if (FindOnPath(compiler).empty()) {
      ADD_FAILURE() << compiler << " is not on PATH";
      continue;
    }
    std::vector<std::string> flags = tc().target_flags;
    flags.insert(flags.end(), v.flags.begin(), v.flags.end());
    auto compile = [&](const std::string& name, const std::string& source) {
      Write(name + ext, source);
      std::vector<std::string> args = flags;
      for (const std::string& more_arg : {std::string("-c"), name + ext, std::string("-o"), name + ".o"})
        args.push_back(more_arg);
      ProcessResult r = Tool(compiler, args);
      EXPECT_EQ(r.exit_code, 0) << compiler << " " << name << ext << ": " << r.err;
      return r.exit_code == 0;
    };
    if (!compile("module", v.cxx ? cxx_module : c_module) || !compile("more", more) ||
        !compile("consumer", v.cxx ? cxx_consumer : c_consumer))
      continue;
    std::remove(File("libmodule.a").c_str());
    ProcessResult run =
        Prepqdm({"-o", "exports.o", "-xall", "-l", "libmodule.a", "-r", "Module.qdm", "module.o", "more.o"});
    ASSERT_EQ(run.exit_code, 0) << run.out;

    // What readelf says -xall takes, and the passed-over symbols it must
    // see in the inputs for the rule to be tried at all.
    std::vector<std::string> code, data, inputs;
    for (const char* input : {"module.o", "more.o"}) {
      ReadBack object = ReadElf(File(input), tc().big_endian);
      ExportAllOf(object, code, data);
      for (const auto& [name, symbol] : object.symbols)
        if (symbol.bind == "GLOBAL" && symbol.ndx != "UND") inputs.push_back(name);
    }
    std::sort(code.begin(), code.end());
    std::sort(data.begin(), data.end());
    ReadBack exports = ReadElf(File("exports.o"), tc().big_endian);
    EXPECT_EQ(RelocatedNames(exports, ".fexports.rela"), code);
    EXPECT_EQ(RelocatedNames(exports, ".dexports.rela"), data);
    std::vector<std::string> expected_passed_over = v.passed_over;
    if (!tc().big_endian) expected_passed_over.push_back("__x86.get_pc_thunk.");
    for (const std::string& name : expected_passed_over) {
      auto starts = [&](const std::string& n) { return n.rfind(name, 0) == 0; };
      EXPECT_TRUE(std::any_of(inputs.begin(), inputs.end(), starts)) << name << " is not a global of the inputs";
      EXPECT_FALSE(std::any_of(code.begin(), code.end(), starts) || std::any_of(data.begin(), data.end(), starts))
          << name;
    }
    EXPECT_NE(std::find(code.begin(), code.end(), v.api), code.end());

    // The consumer, with its own thunks and instances, takes the module's
    // functions from the library.
    ReadBack consumer = ReadElf(File("consumer.o"), tc().big_endian);
    EXPECT_FALSE(consumer.comdat_members.empty() && (v.cxx || !tc().big_endian)) << "the consumer has no COMDAT group";
    std::vector<std::string> args = tc().ld_flags;
    for (const char* more_arg : {"-r", "-o", "linked.o", "consumer.o", "libmodule.a"}) args.push_back(more_arg);
    ProcessResult link = Tool(tc().ld, args);
    EXPECT_EQ(link.exit_code, 0) << link.err;
    EXPECT_EQ(link.err, "");
    ReadBack linked = ReadElf(File("linked.o"), tc().big_endian);
    ASSERT_TRUE(linked.sections.count(".fimport_module.qdm"));
    EXPECT_EQ(linked.symbols[v.api].ndx, std::to_string(linked.sections[".fimport_module.qdm"].index));

    // A big-endian group's members are known as well as a little-endian one's.
    if (v.cxx) {
      ProcessResult dump = testsupport::RunProgram(
          QDMDUMP_BINARY, {"--symbol", "module_grouped", "--explain", "-o", "x.o", "-xall", "module.o", "more.o"},
          dir_.path());
      EXPECT_NE(dump.out.find("\n    in COMDAT group `module_grouped`\n"), std::string::npos) << dump.out;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Toolchains, ImportLibraryTest, ::testing::Values(kI386, kPpc), ToolchainName);

// The i386 C library as a module: -xall over /usr/lib32/libc.a, whose
// members are PIC code with the thunks in COMDAT groups. A consumer calling
// puts and printf links against the library: printf comes from the stub, the
// consumer keeps its own thunks. puts stays undefined: in libc.a it is a weak
// alias of _IO_puts, and -xall never takes a weak definition.
using LibcTest = ImportLibraryTest;

TEST_P(LibcTest, ConsumerLinksAgainstTheLibraryOfLibcA) {
  const std::string libc = "/usr/lib32/libc.a";
  if (!testsupport::FileExists(libc)) GTEST_SKIP() << libc << " is missing (package libc6-dev-i386)";
  ProcessResult run = Prepqdm({"-o", "libc_exports.o", "-xall", "-l", "libc_imports.a", "-r", "Libc.qdm", libc});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  ProcessResult nm = Tool("nm", {"-s", "libc_imports.a"});
  EXPECT_NE(nm.out.find("printf in libc.qdm.o\n"), std::string::npos);
  EXPECT_EQ(nm.out.find("get_pc_thunk"), std::string::npos);

  Write("consumer.c",
        "extern int puts(const char*);\n"
        "extern int printf(const char*, ...);\n"
        "int consumer_entry(void) { return puts(\"a\") + printf(\"%d\\n\", 1); }\n");
  std::vector<std::string> args = tc().target_flags;
  for (const char* more : {"-c", "consumer.c", "-o", "consumer.o"}) args.push_back(more);
  ProcessResult cc = Tool(tc().cc, args);
  ASSERT_EQ(cc.exit_code, 0) << cc.err;
  ASSERT_FALSE(ReadElf(File("consumer.o"), false).comdat_members.empty()) << "the consumer defines no thunk";
  args = tc().ld_flags;
  for (const char* more : {"-r", "-o", "linked.o", "consumer.o", "libc_imports.a"}) args.push_back(more);
  ProcessResult link = Tool(tc().ld, args);
  EXPECT_EQ(link.exit_code, 0) << link.err;
  EXPECT_EQ(link.err, "");
  ReadBack linked = ReadElf(File("linked.o"), false);
  ASSERT_TRUE(linked.sections.count(".fimport_libc.qdm"));
  EXPECT_EQ(linked.symbols["printf"].ndx, std::to_string(linked.sections[".fimport_libc.qdm"].index));
  EXPECT_EQ(linked.symbols["puts"].ndx, "UND");
}

INSTANTIATE_TEST_SUITE_P(I386, LibcTest, ::testing::Values(kI386), ToolchainName);

// From a definition file alone the library is big-endian PowerPC, made
// before the module exists; a PPC consumer links against it.
using DefinitionOnlyTest = ImportLibraryTest;

TEST_P(DefinitionOnlyTest, LibraryFromDefinitionFileLinksAConsumer) {
  Write("module.def", "[CODE]\nmix_get\nmix_set\n[DATA]\ncodec_name\nmix_volume\n");
  ProcessResult run = Prepqdm({"-o", "exports.o", "-x", "module.def", "-l", "libdef.a", "-r", "Module.qdm"});
  ASSERT_EQ(run.exit_code, 0) << run.out;
  ReadBack image = LinkConsumer("libdef.a");
  if (HasFailure()) return;
  ExpectSlots(image, {"mix_get", "mix_set"}, {"codec_name", "mix_volume"});
}

INSTANTIATE_TEST_SUITE_P(Ppc, DefinitionOnlyTest, ::testing::Values(kPpc), ToolchainName);

}  // namespace
}  // namespace interop
