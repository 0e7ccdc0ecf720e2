// Tracking pass: duplicate inputs with their three outcomes and the nearest
// earlier copy, import stubs, skipped size-prefixed tables, the newest-first
// order, and a large set of equally sized objects.
#include "symbols/tracking_pass.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "symbols/object_inputs.h"

namespace prepqdm {
namespace {

using testsupport::Bytes;
using testsupport::ElfBuilder;
using testsupport::ObjectInputs;

// Defines "f" and a name "v<variant>"; variants differ in one byte only.
Bytes Variant(int variant, bool big_endian) {
  ElfBuilder b(big_endian);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0x60));
  b.AddGlobal("f", static_cast<uint16_t>(text));
  b.AddGlobal("v" + std::to_string(variant), static_cast<uint16_t>(text), 4, 4);
  return b.Build();
}

std::string Expand(std::string text, const std::vector<ObjectModule*>& modules) {
  for (size_t i = 0; i < modules.size(); ++i) {
    std::string key = "{" + std::to_string(i) + "}";
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), modules[i]->file->path);
  }
  return text;
}

TEST(TrackingPassTest, NoObjects) {
  ObjectInputs in;
  EXPECT_EQ(TrackAllSymbols(in.run.inputs.registry, in.run.tree, in.run.console), 0);
  EXPECT_EQ(in.run.tree.RecordCount(), 1u);
}

TEST(TrackingPassTest, DuplicateInputs) {
  struct Input {
    const char* name;
    int variant;
    int archive;  // 0: a file of its own; otherwise inputs with the same number share one file
  };
  struct Case {
    const char* what;
    std::vector<Input> inputs;  // in registration (command-line) order
    const char* console;        // {i}: path of input i
    int in_force;               // input holding "f"
    std::vector<std::string> names;
  } cases[] = {
      {"same bytes under two names",
       {{"a.o", 0, 0}, {"b.o", 0, 0}},
       "!!!WARNING: Exact same object file specified under two different names:\n    \"a.o\" and \"b.o\"\n.",
       0, {"f", "v0"}},
      {"same name in two files",
       {{"x.o", 0, 0}, {"x.o", 0, 1}},
       "!!!INFO: File \"x.o\" is in two input files:\n    \"{0}\" and \"{1}\".\n", 0, {"f", "v0"}},
      {"same member twice in one archive", {{"m.o", 0, 1}, {"m.o", 0, 1}}, "", 0, {"f", "v0"}},
      {"one byte different", {{"a.o", 1, 0}, {"b.o", 2, 0}}, "", 1, {"f", "v1", "v2"}},
      {"three copies name the nearest earlier one",
       {{"a.o", 0, 0}, {"b.o", 0, 0}, {"c.o", 0, 0}},
       "!!!WARNING: Exact same object file specified under two different names:\n    \"b.o\" and \"c.o\"\n."
       "!!!WARNING: Exact same object file specified under two different names:\n    \"a.o\" and \"b.o\"\n.",
       0, {"f", "v0"}},
      {"a different object between two copies",
       {{"a.o", 0, 0}, {"b.o", 1, 0}, {"c.o", 0, 0}},
       "!!!WARNING: Exact same object file specified under two different names:\n    \"a.o\" and \"c.o\"\n.",
       1, {"f", "v0", "v1"}},
  };
  for (bool big_endian : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (big_endian ? " (big-endian)" : ""));
      ObjectInputs in;
      std::vector<ObjectModule*> modules;
      for (size_t i = 0; i < c.inputs.size();) {
        const Input& input = c.inputs[i];
        if (input.archive == 0) {
          modules.push_back(in.AddFile(input.name, Variant(input.variant, big_endian)));
          ++i;
          continue;
        }
        std::vector<std::pair<std::string, Bytes>> members;
        for (; i < c.inputs.size() && c.inputs[i].archive == input.archive; ++i)
          members.emplace_back(c.inputs[i].name, Variant(c.inputs[i].variant, big_endian));
        for (ObjectModule* m : in.AddMembers(members)) modules.push_back(m);
      }
      ASSERT_EQ(modules.size(), c.inputs.size());
      for (ObjectModule* m : modules) ASSERT_NE(m, nullptr);
      ASSERT_EQ(TrackAllSymbols(in.run.inputs.registry, in.run.tree, in.run.console), 0);
      EXPECT_EQ(in.console, Expand(c.console, modules));
      EXPECT_EQ(in.Names(), c.names);
      TrackedSymbol* f = in.Lookup("f");
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->object, modules[c.in_force]);
    }
  }
}

TEST(TrackingPassTest, SkippedObjectsAndTables) {
  for (bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    ObjectInputs in;
    // An import stub: its symbols never enter the table.
    ElfBuilder stub(big_endian);
    uint32_t text = stub.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
    testsupport::SectionSpec imports;
    imports.name = ".imports";
    imports.type = SHT_QDM_IMPORTS;
    imports.data = Bytes(8, 0);
    stub.AddSection(imports);
    stub.AddGlobal("stubbed", static_cast<uint16_t>(text));
    ASSERT_NE(in.AddFile("stub.o", stub.Build()), nullptr);
    // A size-prefixed symbol table was not checked by the reader: passed over.
    ElfBuilder prefixed(big_endian);
    text = prefixed.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
    prefixed.AddGlobal("prefixed", static_cast<uint16_t>(text));
    Bytes bytes = prefixed.Build();
    testsupport::PatchSection(bytes, prefixed.SymtabIndex(),
                              [](SectionHeader& s) { s.sh_flags |= SHF_SIZE_PREFIXED; });
    ASSERT_NE(in.AddFile("prefixed.o", bytes), nullptr);
    ASSERT_NE(in.AddFile("plain.o", Variant(7, big_endian)), nullptr);

    EXPECT_EQ(TrackAllSymbols(in.run.inputs.registry, in.run.tree, in.run.console), 0);
    EXPECT_EQ(in.Names(), (std::vector<std::string>{"f", "v7"}));
    EXPECT_EQ(in.console, "");
  }
}

// The input registered last is tracked first: it wins among non-weak
// definitions, and a weak definition met later is reported as overridden.
TEST(TrackingPassTest, NewestObjectIsTrackedFirst) {
  auto make = [](uint8_t binding, uint8_t byte) {
    ElfBuilder b;
    uint32_t data = b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(4, byte));
    b.AddGlobal("g", static_cast<uint16_t>(data), 0, 4, STT_OBJECT, binding);
    return b.Build();
  };
  ObjectInputs in;
  in.run.tree.verbose = true;
  ObjectModule* weak = in.AddFile("w.o", make(STB_WEAK, 0));
  ObjectModule* first = in.AddFile("a.o", make(STB_GLOBAL, 1));
  ObjectModule* last = in.AddFile("b.o", make(STB_GLOBAL, 2));
  ASSERT_TRUE(weak && first && last);
  ASSERT_EQ(TrackAllSymbols(in.run.inputs.registry, in.run.tree, in.run.console), 0);
  EXPECT_EQ(in.console, "INFO: Non-weak Symbol \"g\" defined differently in \"" + first->file->path + "\" and \"" +
                            last->file->path + "\"!\n" +
                            "INFO: Weak symbol \"g\" from \"w.o\" overridden by non-weak definition in \"b.o\"\n");
  TrackedSymbol* g = in.Lookup("g");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->object, last);
}

// Many equally sized objects that differ only near their end, one of them a
// copy of the first: only that copy is reported and left untracked.
TEST(TrackingPassTest, ManyEquallySizedObjects) {
  constexpr int kCount = 300;
  std::vector<std::pair<std::string, Bytes>> members;
  for (int i = 0; i < kCount; ++i) {
    ElfBuilder b;
    uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8192, 0x60));
    char name[16];
    std::snprintf(name, sizeof name, "s%05d", i % (kCount - 1));  // the last one repeats the first
    b.AddGlobal(name, static_cast<uint16_t>(text));
    members.emplace_back("m" + std::to_string(i) + ".o", b.Build());
  }
  ObjectInputs in;
  std::vector<ObjectModule*> modules = in.AddMembers(members);
  ASSERT_EQ(modules.size(), static_cast<size_t>(kCount));
  ASSERT_EQ(TrackAllSymbols(in.run.inputs.registry, in.run.tree, in.run.console), 0);
  EXPECT_EQ(in.console, "!!!WARNING: Exact same object file specified under two different names:\n    \"m0.o\" and \"m" +
                            std::to_string(kCount - 1) + ".o\"\n.");
  EXPECT_EQ(in.Names().size(), static_cast<size_t>(kCount - 1));
  EXPECT_EQ(in.Lookup("s00000")->object, modules[0]);
}

}  // namespace
}  // namespace prepqdm
