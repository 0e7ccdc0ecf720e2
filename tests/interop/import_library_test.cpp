// The import library against the GNU tools, in both byte orders: after the
// ax stand-in has indexed it, ar and nm read it, readelf and eu-elflint
// accept its stub object, and GNU ld links a consumer against it alone, each
// reference landing in the slot of the right table entry.
//
// Accepted eu-elflint findings: the application section type 0x80000002 of
// the import sections is unknown to it, and so is an executable section of
// that type. readelf reads the stub without a warning.
#include <gtest/gtest.h>

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

INSTANTIATE_TEST_SUITE_P(Toolchains, ImportLibraryTest, ::testing::Values(kI386, kPpc), ToolchainName);

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
