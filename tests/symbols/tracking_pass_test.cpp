// Tracking pass: duplicate inputs with their three outcomes and the nearest
// earlier copy, import stubs, skipped size-prefixed tables, the newest-first
// order, a large set of equally sized objects, and definitions of one name
// that leave the same one in force whatever order they are met in.
#include "symbols/tracking_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "symbols/object_inputs.h"
#include "symbols/resolution.h"

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
  EXPECT_EQ(TrackAllSymbols(in.run.inputs.registry, in.run.symbols, in.run.console, false), 0);
  EXPECT_EQ(in.run.symbols.RecordCount(), 1u);
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
  for (bool ahead : {false, true}) {
    for (bool big_endian : {false, true}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + (big_endian ? " (big-endian)" : "") + (ahead ? " ahead" : ""));
        ObjectInputs in;
        if (ahead) in.EnterAhead();
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
        ASSERT_EQ(in.Track(), 0);
        EXPECT_EQ(in.console, Expand(c.console, modules));
        EXPECT_EQ(in.Names(), c.names);
        TrackedSymbol* f = in.Lookup("f");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->object, modules[c.in_force]);
      }
    }
  }
}

TEST(TrackingPassTest, SkippedObjectsAndTables) {
  for (bool ahead : {false, true}) {
    for (bool big_endian : {false, true}) {
      SCOPED_TRACE(std::string(big_endian ? "big-endian" : "little-endian") + (ahead ? " ahead" : ""));
      ObjectInputs in;
      if (ahead) in.EnterAhead();
      // An import stub: its symbols never enter the table.
      ElfBuilder stub(big_endian);
      uint32_t text = stub.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
      testsupport::SectionDesc imports;
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

      EXPECT_EQ(in.Track(), 0);
      EXPECT_EQ(in.Names(), (std::vector<std::string>{"f", "v7"}));
      EXPECT_EQ(in.console, "");
    }
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
  in.run.options.verbose = true;
  ObjectModule* weak = in.AddFile("w.o", make(STB_WEAK, 0));
  ObjectModule* first = in.AddFile("a.o", make(STB_GLOBAL, 1));
  ObjectModule* last = in.AddFile("b.o", make(STB_GLOBAL, 2));
  ASSERT_TRUE(weak && first && last);
  ASSERT_EQ(TrackAllSymbols(in.run.inputs.registry, in.run.symbols, in.run.console, true), 0);
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
    members.emplace_back('m' + std::to_string(i) + ".o", b.Build());
  }
  for (bool ahead : {false, true}) {
    ObjectInputs in;
    if (ahead) in.EnterAhead();
    std::vector<ObjectModule*> modules = in.AddMembers(members);
    ASSERT_EQ(modules.size(), static_cast<size_t>(kCount));
    ASSERT_EQ(in.Track(), 0);
    EXPECT_EQ(in.console, "!!!WARNING: Exact same object file specified under two different names:\n    \"m0.o\" and \"m" +
                              std::to_string(kCount - 1) + ".o\"\n.");
    EXPECT_EQ(in.Names().size(), static_cast<size_t>(kCount - 1));
    EXPECT_EQ(in.Lookup("s00000")->object, modules[0]);
  }
}

}  // namespace
}  // namespace prepqdm

namespace prepqdm {
namespace {

// Objects entered ahead, as they are registered (oldest first, each table
// from its end), leave the table as the pass does: the same definitions in
// force and class flags, the same report up to the same failure; a run whose
// -v comes after its objects starts the pass over and reports in its order.
TEST(TrackingPassTest, EnteredAheadAsThePassLeavesIt) {
  struct Def {
    const char* name;
    uint8_t binding;
    bool linkonce;
  };
  const std::vector<std::vector<Def>> objects = {
      {{"g", STB_WEAK, false}, {"h", STB_GLOBAL, false}, {"k", STB_WEAK, true}},
      {{"g", STB_GLOBAL, false}, {"m", STB_GLOBAL, false}, {"m", STB_GLOBAL, true}, {"k", STB_WEAK, false}},
      {{"g", STB_GLOBAL, true}, {"k", STB_WEAK, false}, {"m", STB_WEAK, false}, {"n", STB_WEAK, false},
       {"n", STB_WEAK, true}},
      {{"h", STB_WEAK, false}, {"n", STB_GLOBAL, false}, {"g", STB_WEAK, false}},
  };
  auto object = [](const std::vector<Def>& defs, uint8_t fill) {
    ElfBuilder b;
    auto text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(64, fill)));
    auto once = static_cast<uint16_t>(b.AddProgbits(".gnu.linkonce.t.x", SHF_ALLOC | SHF_EXECINSTR, Bytes(64, 1)));
    for (size_t i = 0; i < defs.size(); ++i)
      b.AddGlobal(defs[i].name, defs[i].linkonce ? once : text, 4 * static_cast<uint32_t>(i), 4, STT_FUNC,
                  defs[i].binding);
    return b.Build();
  };
  // Every global names one long string: the names cost more than the budget.
  auto too_long = [](uint8_t fill) {
    ElfBuilder b;
    auto text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, fill)));
    uint32_t first = b.AddGlobal(std::string(64 * 1024, 'n'), text);
    for (int i = 1; i < 64; ++i) b.AddGlobal("s", text);
    Bytes image = b.Build();
    uint32_t name = 0;
    testsupport::PatchSymbol(image, b.SymtabIndex(), first, [&](ElfSymbol& s) { name = s.st_name; });
    for (uint32_t i = 1; i < 64; ++i)
      testsupport::PatchSymbol(image, b.SymtabIndex(), first + i, [&](ElfSymbol& s) { s.st_name = name; });
    return image;
  };
  struct Outcome {
    Status status;
    std::string console;
    std::vector<std::string> table;
  };
  auto run = [&](bool ahead, bool verbose, bool failing) {
    ObjectInputs in;
    if (ahead) in.EnterAhead();
    std::vector<ObjectModule*> modules;
    for (size_t i = 0; i < objects.size(); ++i) {
      if (failing && i == 1) modules.push_back(in.AddFile("older.o", too_long(1)));
      if (failing && i == 3) modules.push_back(in.AddFile("newer.o", too_long(2)));
      modules.push_back(in.AddFile("o" + std::to_string(i) + ".o", object(objects[i], static_cast<uint8_t>(i))));
    }
    modules.push_back(in.AddFile("copy.o", object(objects[2], 2)));
    in.run.options.verbose = verbose;
    Outcome outcome{in.Track(), in.console, {}};
    for (const ObjectModule* m : modules) {
      for (size_t at; (at = outcome.console.find(in.PathOf(m))) != std::string::npos;)
        outcome.console.replace(at, in.PathOf(m).size(), m->name);
    }
    for (const std::string& name : in.Names()) {
      const TrackedSymbol& r = *in.Lookup(name);
      outcome.table.push_back(name + " " + r.object->name + " " + std::to_string(r.symbol_offset) + " " +
                              std::to_string(r.is_weak) + std::to_string(r.class_flags));
    }
    return outcome;
  };
  for (bool verbose : {false, true}) {
    for (bool failing : {false, true}) {
      SCOPED_TRACE(std::string(verbose ? "-v" : "") + (failing ? " failing" : ""));
      Outcome pass = run(false, verbose, failing);
      Outcome ahead = run(true, verbose, failing);
      EXPECT_EQ(ahead.status, pass.status);
      EXPECT_EQ(ahead.console, pass.console);
      EXPECT_NE(pass.console.find("\"o2.o\" and \"copy.o\""), std::string::npos);
      EXPECT_EQ(pass.status, failing ? -1 : 0);
      if (failing) {
        EXPECT_NE(pass.console.find("Symbol names in \"newer.o\""), std::string::npos) << pass.console;
      } else {
        EXPECT_EQ(ahead.table, pass.table);
        EXPECT_EQ(pass.table.size(), 5u);
      }
    }
  }
}

}  // namespace
}  // namespace prepqdm

namespace prepqdm {
namespace {

// A weak, a weak NOBITS, a non-weak and a common definition of one name, one
// per object, registered in every order. Entered ahead or by the pass, with
// -v or without, and met object by object in every order, they leave the
// same definition in force: the newest non-weak one (a common one counts as
// any other), else the newest weak one. -v reports each meeting in the
// pass's order, newest object first, the first met staying among equals.
TEST(TrackingPassTest, DefinitionsOfOneNameInAnyOrder) {
  enum Place { kData, kBss, kCommon };
  struct Def {
    const char* object;
    uint8_t binding;
    Place place;
  };
  const Def defs[] = {
      {"w.o", STB_WEAK, kData}, {"v.o", STB_WEAK, kBss}, {"s.o", STB_GLOBAL, kData}, {"c.o", STB_GLOBAL, kCommon}};
  auto build = [](const Def& def, uint8_t fill) {
    ElfBuilder b;
    uint16_t shndx = SHN_COMMON;
    if (def.place == kData) {
      shndx = static_cast<uint16_t>(b.AddProgbits(".gnu.linkonce.d.g", SHF_ALLOC | SHF_WRITE, Bytes(8, fill)));
    } else if (def.place == kBss) {
      shndx = static_cast<uint16_t>(b.AddNobits(".bss", SHF_ALLOC | SHF_WRITE, 8));
    }
    b.AddGlobal("local_" + std::string(def.object), shndx, 0, 4, STT_OBJECT, STB_GLOBAL);
    b.AddGlobal("g", shndx, def.place == kCommon ? 4 : 0, 4, STT_OBJECT, def.binding);
    return b.Build();
  };
  auto weak = [&](int d) { return defs[d].binding == STB_WEAK; };
  auto record = [](ObjectInputs& in) {
    const TrackedSymbol* g = in.Lookup("g");
    if (g == nullptr || g->object == nullptr) return std::string("none");
    return g->object->name + " " + std::to_string(g->symbol_offset) + " " + std::to_string(g->is_weak) +
           std::to_string(g->is_code) + std::to_string(g->is_tls) + std::to_string(g->definition_loadable) + " " +
           std::to_string(g->class_flags);
  };
  std::vector<int> order = {0, 1, 2, 3};  // registration order, oldest first
  do {
    std::string registered;
    for (int d : order) registered += std::string(defs[d].object) + " ";
    SCOPED_TRACE("registered " + registered);
    // What the pass reports, meeting the objects newest first.
    std::string lines;
    int in_force = order.back();
    for (size_t k = order.size() - 1; k-- > 0;) {
      const int d = order[k];
      const std::string met = defs[d].object, kept = defs[in_force].object;
      if (weak(d) && !weak(in_force)) {
        lines += "INFO: Weak symbol \"g\" from \"" + met + "\" overridden by non-weak definition in \"" + kept + "\"\n";
      } else if (!weak(d) && weak(in_force)) {
        lines += "INFO: Weak symbol \"g\" realized in \"" + met + "\".\n";
        in_force = d;
      } else if (!weak(d)) {
        lines += "INFO: Non-weak Symbol \"g\" defined differently in \"" + met + "\" and \"" + kept + "\"!\n";
      }
    }
    std::string expected_object = defs[in_force].object;
    std::string first_record;
    for (bool ahead : {false, true}) {
      for (bool verbose : {false, true}) {
        SCOPED_TRACE(std::string(ahead ? "ahead" : "pass") + (verbose ? " -v" : ""));
        ObjectInputs in;
        if (ahead) in.EnterAhead();
        std::vector<ObjectModule*> modules;
        for (int d : order) modules.push_back(in.AddFile(defs[d].object, build(defs[d], static_cast<uint8_t>(d + 1))));
        in.run.options.verbose = verbose;
        ASSERT_EQ(in.Track(), 0);
        for (const ObjectModule* m : modules) {
          for (size_t at; (at = in.console.find(in.PathOf(m))) != std::string::npos;)
            in.console.replace(at, in.PathOf(m).size(), m->name);
        }
        EXPECT_EQ(in.console, verbose ? lines : "");
        const std::string got = record(in);
        EXPECT_EQ(got.substr(0, got.find(' ')), expected_object);
        EXPECT_TRUE(got.ends_with(" 1")) << got;  // the linkonce flag, whichever definition stays
        if (first_record.empty()) first_record = got;
        EXPECT_EQ(got, first_record);

        // The same objects met one by one in every other order.
        if (ahead || verbose) continue;
        std::vector<size_t> meeting = {0, 1, 2, 3};
        do {
          in.run.symbols.Clear();
          for (size_t m : meeting) {
            for (uint32_t table : modules[m]->facts.symbol_tables)
              ASSERT_EQ(TrackSymbolTable(in.run.symbols, in.run.console, *modules[m], table, false), 0);
          }
          EXPECT_EQ(record(in), first_record);
        } while (std::next_permutation(meeting.begin(), meeting.end()));
      }
    }
  } while (std::next_permutation(order.begin(), order.end()));
}

}  // namespace
}  // namespace prepqdm
