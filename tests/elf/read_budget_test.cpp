// Read budgets: references that share bytes (archive members named through
// one long-name entry, exports relocated against one long-named symbol,
// symbols naming one long string) are refused once the bytes read through
// them pass the budget, while a handful of such references stays fine. The
// inputs that aim at the bounds themselves, near 1 MiB, are checked under
// time and memory limits by .ci/hardening.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "driver/run_state.h"
#include "elf/archive_reader.h"
#include "elf/object_module.h"
#include "exports/in_code_exports.h"
#include "symbols/tracking_pass.h"
#include "support/ar_builder.h"
#include "support/elf_builder.h"

using namespace prepqdm;
using namespace testsupport;

namespace {

// A run over byte vectors posing as mapped files.
struct BudgetRun {
  std::deque<Bytes> bytes;
  std::deque<MappedFile> files;
  std::string console;
  RunState run;
  BudgetRun() { run.console = Sink{nullptr, &console}; }

  MappedFile* Map(Bytes image, const std::string& path) {
    bytes.push_back(std::move(image));
    files.emplace_back();
    MappedFile* file = &files.back();
    file->path = path;
    file->size = bytes.back().size();
    file->view = bytes.back().data();
    file->reference_count = 1 << 20;  // never released to zero: nothing was mapped
    return file;
  }
  Status Register(Bytes image) {
    MappedFile* file = Map(std::move(image), "m.o");
    return OpenObjectModule(run.inputs.registry, run.console, file, "m.o", file->view, static_cast<uint32_t>(file->size));
  }
};

const std::string kLongName(64 * 1024, 'n');

// An archive whose `members` objects are all named through one long entry.
Bytes SharedLongNameArchive(int members) {
  ElfBuilder object;
  object.AddGlobal("f", static_cast<uint16_t>(object.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8))));
  std::string table = kLongName + ".o/\n";
  ArBuilder archive;
  auto member = [](const std::string& name_field, Bytes data) {
    ArMember m;
    m.name_field = name_field;
    m.data = std::move(data);
    return m;
  };
  archive.AddRaw(member("//", Bytes(table.begin(), table.end())));
  for (int i = 0; i < members; ++i) archive.AddRaw(member("/0", object.Build()));
  return archive.Build();
}

// An object whose `exports` words are all relocated against one long-named
// global, or whose `exports` globals all name that one string.
Bytes SharedNameObject(int exports, bool as_symbols) {
  ElfBuilder b;
  uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8)));
  uint32_t symbol = b.AddGlobal(kLongName, text);
  if (as_symbols) {
    for (int i = 1; i < exports; ++i) b.AddGlobal("s", text);
  } else {
    uint32_t words = b.AddProgbits(".export", SHF_ALLOC, Bytes(4 * exports));
    std::vector<RelocDesc> relocs;
    for (int i = 0; i < exports; ++i) relocs.push_back({static_cast<uint32_t>(4 * i), symbol});
    b.AddRelocations(words, true, relocs);
  }
  Bytes image = b.Build();
  // Every "s" names the long string instead.
  if (as_symbols) {
    uint32_t first_name = 0;
    PatchSymbol(image, b.SymtabIndex(), symbol, [&](ElfSymbol& s) { first_name = s.st_name; });
    for (int i = 1; i < exports; ++i)
      PatchSymbol(image, b.SymtabIndex(), symbol + i, [&](ElfSymbol& s) { s.st_name = first_name; });
  }
  return image;
}

TEST(ReadBudget, SharedReferencesAreRefusedOncePastTheBudget) {
  const std::string kMembers = "***Error: Member names inside \"lib.a\" take too long to read. Return -1.\n";
  const std::string kExports = "***Error: In-code export names in \"m.o\" take too long to read. Return -1.\n";
  const std::string kSymbols = "***Error: Symbol names in \"m.o\" take too long to read. Return -1.\n";
  struct Case {
    const char* what;
    int references;
    Status status;
    std::string console;
  } cases[] = {
      {"archive", 3, 0, ""},
      {"archive", 60, -1, kMembers + "  note: member of lib.a, header at byte 79964\n"},
      {"exports", 3, 0, ""},
      {"exports", 64, -1, kExports},
      {"symbols", 3, 0, ""},
      {"symbols", 64, -1, kSymbols},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " x" + std::to_string(c.references));
    BudgetRun t;
    Status status;
    std::string what = c.what;
    if (what == "archive") {
      status = ReadArchive(t.run.inputs.registry, t.run.console, t.Map(SharedLongNameArchive(c.references), "lib.a"));
      if (status == 0) {
        EXPECT_EQ(t.run.inputs.registry.count, c.references);
      }
    } else {
      ASSERT_EQ(t.Register(SharedNameObject(c.references, what == "symbols")), 0);
      status = TrackAllSymbols(t.run.inputs.registry, t.run.symbols, t.run.console, false);
      const SelectionSettings settings;
      Selector selector{t.run.symbols, t.run.console, settings, t.run.selection};
      if (status == 0) status = CollectAllInCodeExports(selector, t.run.inputs.registry);
      if (status == 0) {
        EXPECT_EQ(t.run.selection.exports.count(), what == "exports" ? 1 : 0);
      }
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(t.console, c.console);
  }
}

}  // namespace
