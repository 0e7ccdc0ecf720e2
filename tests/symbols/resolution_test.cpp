// Resolution catalogue: pairs of definitions of one name met in a fixed order,
// with the definition left in force and the exact -v line; symbol kinds and
// class flags; and tables whose names cannot be read.
#include "symbols/resolution.h"

#include <gtest/gtest.h>

#include <string>

#include "object_inputs.h"

namespace prepqdm {
namespace {

using testsupport::Bytes;
using testsupport::ElfBuilder;
using testsupport::ObjectInputs;

enum Place { kData, kBss, kText, kAbs, kCommon };

struct Def {
  Place place = kData;
  uint8_t binding = STB_GLOBAL;
  uint8_t type = STT_OBJECT;
  uint32_t value = 0;
  uint32_t size = 4;
  Bytes data = Bytes(8, 0);  // section content (kData, kText) or NOBITS size
  uint32_t addr = 0;
};

struct Built {
  Bytes bytes;
  uint32_t symtab;
};

// One object defining "f" as described.
Built MakeObject(const Def& def, bool big_endian) {
  ElfBuilder b(big_endian);
  uint16_t shndx = SHN_UNDEF;
  testsupport::SectionDesc section;
  section.addr = def.addr;
  switch (def.place) {
    case kData:
    case kText:
      section.name = def.place == kData ? ".data" : ".text";
      section.flags = SHF_ALLOC | (def.place == kData ? SHF_WRITE : SHF_EXECINSTR);
      section.data = def.data;
      shndx = static_cast<uint16_t>(b.AddSection(section));
      break;
    case kBss:
      section.name = ".bss";
      section.type = SHT_NOBITS;
      section.flags = SHF_ALLOC | SHF_WRITE;
      section.nobits_size = static_cast<uint32_t>(def.data.size());
      shndx = static_cast<uint16_t>(b.AddSection(section));
      break;
    case kAbs: shndx = SHN_ABS; break;
    case kCommon: shndx = SHN_COMMON; break;
  }
  b.AddGlobal("f", shndx, def.value, def.size, def.type, def.binding);
  return {b.Build(), b.SymtabIndex()};
}

Def Weak(Def d) { d.binding = STB_WEAK; return d; }
Def Data(Bytes bytes, uint32_t size = 4) { Def d; d.data = std::move(bytes); d.size = size; return d; }
Def Bss(uint32_t size = 4) { Def d; d.place = kBss; d.data = Bytes(8, 0); d.size = size; return d; }
Def Special(Place place, uint32_t value, uint32_t size) {
  Def d; d.place = place; d.value = value; d.size = size; return d;
}

struct ResolutionCase {
  const char* what;
  Def first;          // tracked first, module "a.o", the newer object
  Def second;         // tracked second, module "b.o"
  const char* line;   // with -v; "{a}"/"{b}" stand for the files' paths
  char in_force;      // 'a' or 'b'
  bool weak;
};

std::string Expand(std::string text, const std::string& a, const std::string& b) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"{a}", a}, {"{b}", b}}) {
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  }
  return text;
}

const char* const kDiffers = "INFO: Non-weak Symbol \"f\" defined differently in \"{b}\" and \"{a}\"!\n";

const ResolutionCase kCases[] = {
    {"weak then weak keeps the first", Weak(Data({1, 2, 3, 4, 0, 0, 0, 0})), Weak(Data({9, 9, 9, 9, 0, 0, 0, 0}, 8)),
     "", 'a', true},
    {"non-weak then weak", Data({1, 0, 0, 0, 0, 0, 0, 0}), Weak(Data({2, 0, 0, 0, 0, 0, 0, 0})),
     "INFO: Weak symbol \"f\" from \"b.o\" overridden by non-weak definition in \"a.o\"\n", 'a', false},
    {"weak then non-weak realizes", Weak(Data({1, 0, 0, 0, 0, 0, 0, 0})), Data({2, 0, 0, 0, 0, 0, 0, 0}),
     "INFO: Weak symbol \"f\" realized in \"b.o\".\n", 'b', false},
    {"equal bytes", Data({1, 2, 3, 4, 5, 6, 7, 8}), Data({1, 2, 3, 4, 0, 0, 0, 0}), "", 'a', false},
    {"different bytes", Data({1, 2, 3, 4, 0, 0, 0, 0}), Data({1, 2, 3, 5, 0, 0, 0, 0}), kDiffers, 'a', false},
    {"NOBITS against zero bytes", Bss(), Data(Bytes(8, 0)), "", 'a', false},
    {"zero bytes against NOBITS", Data({0, 0, 0, 0, 7, 7, 7, 7}), Bss(), "", 'a', false},
    {"NOBITS against non-zero bytes", Bss(), Data({0, 0, 1, 0, 0, 0, 0, 0}), kDiffers, 'a', false},
    {"non-zero bytes against NOBITS", Data({0, 0, 0, 1, 0, 0, 0, 0}), Bss(), kDiffers, 'a', false},
    {"NOBITS against NOBITS", Bss(), Bss(), "", 'a', false},
    {"size 0 ignores bytes", Data({1, 0, 0, 0, 0, 0, 0, 0}, 0), Data({2, 0, 0, 0, 0, 0, 0, 0}, 0), "", 'a', false},
    {"different sizes", Data(Bytes(8, 0), 4), Data(Bytes(8, 0), 8), kDiffers, 'a', false},
    {"different info byte", Data(Bytes(8, 0)), [] { Def d = Data(Bytes(8, 0)); d.type = STT_FUNC; return d; }(),
     kDiffers, 'a', false},
    {"common of different sizes", Special(kCommon, 4, 4), Special(kCommon, 8, 16), "", 'a', false},
    {"absolute with different values", Special(kAbs, 1, 0), Special(kAbs, 2, 4), "", 'a', false},
    {"absolute against a section", Special(kAbs, 0, 4), Data(Bytes(8, 0)), kDiffers, 'a', false},
    {"common against absolute", Special(kCommon, 4, 4), Special(kAbs, 0, 4), kDiffers, 'a', false},
    {"place taken relative to the section address",
     [] { Def d = Data({9, 9, 9, 9, 5, 6, 7, 8}); d.addr = 0x1000; d.value = 0x1004; return d; }(),
     [] { Def d = Data({5, 6, 7, 8, 9, 9, 9, 9}); return d; }(), "", 'a', false},
    {"range leaving its section is different",
     [] { Def d = Data(Bytes(8, 0)); d.type = 0; d.value = 6; return d; }(),
     [] { Def d = Data(Bytes(8, 0)); d.type = 0; d.value = 6; return d; }(), kDiffers, 'a', false},
    {"range far outside the image is different",
     [] { Def d = Data(Bytes(8, 0)); d.type = 0; d.value = 0xFFFFFFF0u; d.size = 0x100; return d; }(),
     [] { Def d = Data(Bytes(8, 0)); d.type = 0; d.value = 0xFFFFFFF0u; d.size = 0x100; return d; }(), kDiffers, 'a',
     false},
};

TEST(ResolutionTest, Catalogue) {
  for (bool big_endian : {false, true}) {
    for (bool verbose : {true, false}) {
      for (const ResolutionCase& c : kCases) {
        SCOPED_TRACE(std::string(c.what) + (big_endian ? " (big-endian)" : "") + (verbose ? " -v" : ""));
        ObjectInputs in;
        Built first = MakeObject(c.first, big_endian);
        Built second = MakeObject(c.second, big_endian);
        // Registered last, "a.o" is met first by the pass, and wins among equals.
        ObjectModule* b = in.AddFile("b.o", second.bytes);
        ObjectModule* a = in.AddFile("a.o", first.bytes);
        ASSERT_TRUE(a && b);
        ASSERT_EQ(TrackSymbolTable(in.run.symbols, in.run.console, *a, first.symtab, verbose), 0);
        ASSERT_EQ(TrackSymbolTable(in.run.symbols, in.run.console, *b, second.symtab, verbose), 0);
        EXPECT_EQ(in.console, verbose ? Expand(c.line, in.PathOf(a), in.PathOf(b)) : "");
        TrackedSymbol* f = in.Lookup("f");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->object, c.in_force == 'a' ? a : b);
        ObjectModule* holder = c.in_force == 'a' ? a : b;
        EXPECT_LT(uint64_t{f->symbol_offset} + 16, uint64_t{holder->size} + 1);
        EXPECT_EQ(DefinitionEntry(*f), holder->image + f->symbol_offset);
        EXPECT_EQ(f->is_weak, c.weak);
        // The name is the symbol table's own copy, not a view into either input.
        EXPECT_FALSE(f->name_bytes() >= a->image && f->name_bytes() < a->image + a->size);
        EXPECT_FALSE(f->name_bytes() >= b->image && f->name_bytes() < b->image + b->size);
        EXPECT_EQ(in.Names(), std::vector<std::string>{"f"});
      }
    }
  }
}

// Kinds and class flags from one object; locals, undefined references and
// other bindings stay out of the table. Again with more than 0xFFF2
// sections, the ones named here past them through SHN_XINDEX, and all the
// others executable, so that a reserved index read as a section would show.
TEST(ResolutionTest, KindsAndClassFlags) {
  struct Row {
    const char* name;
    int section;  // index into the sections below, a special index, or -1 (undefined)
    uint8_t binding;
    bool tracked;
    bool code, tls, weak;
    uint8_t flags;
  };
  enum { kText = 0, kData, kTls, kLinkonce, kLinkonceShort, kLinkonceExact, kComdat, kPlainGroup };
  const Row rows[] = {
      {"code", kText, STB_GLOBAL, true, true, false, false, 0},
      {"data", kData, STB_GLOBAL, true, false, false, false, 0},
      {"weakcode", kText, STB_WEAK, true, true, false, true, 0},
      {"tlsexec", kTls, STB_GLOBAL, true, false, true, false, 0},
      {"tlscommon", SHN_TLS_COMMON, STB_GLOBAL, true, false, true, false, 0},
      {"absolute", SHN_ABS, STB_GLOBAL, true, false, false, false, 0},
      {"common", SHN_COMMON, STB_GLOBAL, true, false, false, false, 0},
      {"__sti__init", kText, STB_GLOBAL, true, true, false, false, CLASS_STATIC_INIT},
      {"__sti_init", kText, STB_GLOBAL, true, true, false, false, 0},
      {"a..b", kData, STB_GLOBAL, true, false, false, false, CLASS_DOUBLE_DOT},
      {"a.b.", kData, STB_GLOBAL, true, false, false, false, 0},
      {"__sti__x..", kLinkonce, STB_GLOBAL, true, true, false, false,
       CLASS_STATIC_INIT | CLASS_DOUBLE_DOT | CLASS_LINKONCE},
      {"once", kLinkonce, STB_WEAK, true, true, false, true, CLASS_LINKONCE},
      {"notonce", kLinkonceShort, STB_GLOBAL, true, false, false, false, 0},
      {"exactonce", kLinkonceExact, STB_GLOBAL, true, false, false, false, CLASS_LINKONCE},
      {"inline", kComdat, STB_WEAK, true, true, false, true, CLASS_COMDAT},
      {"comdat..", kComdat, STB_GLOBAL, true, true, false, false, CLASS_COMDAT | CLASS_DOUBLE_DOT},
      {"grouped", kPlainGroup, STB_GLOBAL, true, true, false, false, 0},
      {"local", kData, 0, false, false, false, false, 0},
      {"unique", kData, 10, false, false, false, false, 0},
      {"undefined", -1, STB_GLOBAL, false, false, false, false, 0},
  };
  for (auto [big_endian, extended] : {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
    SCOPED_TRACE(std::string(big_endian ? "big-endian" : "little-endian") + (extended ? ", 65,540 sections" : ""));
    ElfBuilder b(big_endian);
    if (extended) b.UseExtendedNumbering();
    for (int i = 0; extended && i < 65530; ++i) b.AddProgbits("", SHF_ALLOC | SHF_EXECINSTR, {});
    uint32_t base = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0));
    b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(16, 0));
    b.AddProgbits(".tdata", SHF_ALLOC | SHF_EXECINSTR | SHF_TLS_PLATFORM, Bytes(16, 0));
    b.AddProgbits(".gnu.linkonce.t.once", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0));
    b.AddProgbits(".gnu.linkonc", SHF_ALLOC, Bytes(16, 0));
    b.AddProgbits(".gnu.linkonce", SHF_ALLOC, Bytes(16, 0));
    b.AddProgbits(".text.inline", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0));
    b.AddProgbits(".text.grouped", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0));
    // A COMDAT group and a plain one (flag word 0), each of one member.
    for (auto [flags, member] : {std::pair{GRP_COMDAT, kComdat}, {0u, kPlainGroup}}) {
      testsupport::SectionDesc group{".group", SHT_GROUP, 0, Bytes(8, 0)};
      testsupport::Put32(group.data, 0, flags, big_endian);
      testsupport::Put32(group.data, 4, base + member, big_endian);
      group.link = testsupport::kLinkSymtab;
      group.info = 1;
      b.AddSection(group);
    }
    for (const Row& r : rows) {
      uint16_t shndx = r.section < 0     ? SHN_UNDEF
                       : r.section >= 16 ? static_cast<uint16_t>(r.section)
                       : extended       ? SHN_XINDEX
                                        : static_cast<uint16_t>(base + r.section);
      b.AddSymbol({r.name, 0, 4, testsupport::Info(r.binding, STT_OBJECT), 0, shndx, base + r.section});
    }
    ObjectInputs in;
    ObjectModule* m = in.AddFile("m.o", b.Build());
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(TrackSymbolTable(in.run.symbols, in.run.console, *m, b.SymtabIndex(), false), 0);
    EXPECT_EQ(in.console, "");
    for (const Row& r : rows) {
      SCOPED_TRACE(r.name);
      TrackedSymbol* s = in.Lookup(r.name);
      ASSERT_EQ(s != nullptr, r.tracked);
      if (!s) continue;
      EXPECT_EQ(s->is_code, r.code);
      EXPECT_EQ(s->is_tls, r.tls);
      EXPECT_EQ(s->is_weak, r.weak);
      EXPECT_EQ(s->class_flags, r.flags);
      EXPECT_EQ(s->exported, 0u);
      EXPECT_EQ(s->object, m);
      EXPECT_EQ(s->definition_loadable, r.section == SHN_ABS ? 1 : 2);
    }
  }
}

// Class flags are only ever added, whichever definition stays in force.
TEST(ResolutionTest, ClassFlagsAccumulate) {
  auto make = [](bool linkonce, uint8_t binding) {
    ElfBuilder b;
    uint32_t text = b.AddProgbits(linkonce ? ".gnu.linkonce.t.g" : ".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
    b.AddGlobal("g", static_cast<uint16_t>(text), 0, 4, STT_FUNC, binding);
    return b.Build();
  };
  for (bool linkonce_first : {true, false}) {
    ObjectInputs in;
    ObjectModule* first = in.AddFile("a.o", make(linkonce_first, STB_WEAK));
    ObjectModule* second = in.AddFile("b.o", make(!linkonce_first, STB_GLOBAL));
    ASSERT_TRUE(first && second);
    ASSERT_EQ(TrackSymbolTable(in.run.symbols, in.run.console, *first, 2, false), 0);
    ASSERT_EQ(TrackSymbolTable(in.run.symbols, in.run.console, *second, 2, false), 0);
    TrackedSymbol* g = in.Lookup("g");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->class_flags, CLASS_LINKONCE);
    EXPECT_EQ(g->object, second);
  }
}

// Visibility and COMDAT membership are the definition in force's, whichever
// order the definitions are met in: a strong definition replacing a weak one
// takes its own; one that stays keeps its own.
TEST(ResolutionTest, VisibilityAndGroupFollowTheDefinitionInForce) {
  // `g` in .text.g, hidden (2), internal (1), protected (3) or default (0),
  // in a COMDAT group or not.
  auto make = [](uint8_t binding, uint8_t visibility, bool comdat) {
    ElfBuilder b;
    uint32_t text = b.AddProgbits(".text.g", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
    b.AddSymbol({"g", 0, 4, testsupport::Info(binding, STT_FUNC), visibility, static_cast<uint16_t>(text)});
    if (comdat) {
      testsupport::SectionDesc group{".group", SHT_GROUP, 0, Bytes(8, 0)};
      testsupport::Put32(group.data, 0, GRP_COMDAT, false);
      testsupport::Put32(group.data, 4, text, false);
      group.link = testsupport::kLinkSymtab;
      group.info = 1;
      b.AddSection(group);
    }
    return b.Build();
  };
  struct Row {
    uint8_t weak_visibility;
    bool weak_comdat;
    uint8_t strong_visibility;
    bool strong_comdat;
    bool hidden;  // as the strong definition, which is in force
  } rows[] = {
      {2, true, 0, false, false},
      {0, false, 2, true, true},
      {0, false, 1, false, true},
      {0, true, 3, false, false},
  };
  for (const Row& row : rows) {
    for (bool ahead : {false, true}) {
      for (bool weak_first : {true, false}) {
        SCOPED_TRACE(std::to_string(&row - rows) + (ahead ? " entered ahead" : "") + (weak_first ? " weak first" : ""));
        ObjectInputs in;
        if (ahead) in.EnterAhead();
        Bytes weak = make(STB_WEAK, row.weak_visibility, row.weak_comdat);
        Bytes strong = make(STB_GLOBAL, row.strong_visibility, row.strong_comdat);
        ASSERT_TRUE(in.AddFile("a.o", weak_first ? weak : strong) && in.AddFile("b.o", weak_first ? strong : weak));
        ASSERT_EQ(in.Track(), 0);
        TrackedSymbol* g = in.Lookup("g");
        ASSERT_NE(g, nullptr);
        EXPECT_FALSE(g->is_weak);
        EXPECT_EQ(g->definition_hidden, row.hidden);
        EXPECT_EQ(g->class_flags, row.strong_comdat ? CLASS_COMDAT : 0);
      }
    }
  }
}

// Names that cannot be read inside their string table are passed over; the
// rest of the table is still tracked.
TEST(ResolutionTest, UnreadableNamesArePassedOver) {
  for (bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    ElfBuilder b(big_endian);
    uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
    b.AddGlobal("first", static_cast<uint16_t>(text));
    b.AddGlobal("last", static_cast<uint16_t>(text));
    Bytes clean = b.Build();

    // The string table ends without the last name's terminating zero.
    Bytes cut = clean;
    testsupport::PatchSection(cut, b.StrtabIndex(), [](SectionHeader& s) { s.sh_size -= 1; });
    // A symbol table that names no string table.
    Bytes unlinked = clean;
    testsupport::PatchSection(unlinked, b.SymtabIndex(), [](SectionHeader& s) { s.sh_link = 0; });

    struct {
      const Bytes* bytes;
      std::vector<std::string> names;
    } cases[] = {{&clean, {"first", "last"}}, {&cut, {"first"}}, {&unlinked, {}}};
    for (const auto& c : cases) {
      ObjectInputs in;
      ObjectModule* m = in.AddFile("m.o", *c.bytes);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(TrackSymbolTable(in.run.symbols, in.run.console, *m, b.SymtabIndex(), false), 0);
      EXPECT_EQ(in.Names(), c.names);
      EXPECT_EQ(in.console, "");
    }
  }
}

}  // namespace
}  // namespace prepqdm
