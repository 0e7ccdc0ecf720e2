#include "exports/def_file.h"

#include "exports/def_scanner.h"
#include "exports_fixture.h"

namespace exportstest {
namespace {

// Scans `text` from an exactly sized buffer and renders each token as
// "D:<token>" or "S:<token>".
std::vector<std::string> Tokens(const std::string& text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  std::vector<std::string> out;
  Status status = ScanDefText(bytes.data(), bytes.size(), [&](DefTokenType type, const uint8_t* token, uint32_t n) {
    out.push_back((type == DefTokenType::kDirective ? "D:" : "S:") + std::string(reinterpret_cast<const char*>(token), n));
    return Status{0};
  });
  EXPECT_EQ(status, 0);
  return out;
}

TEST(DefScanner, SplitsLinesTrimsBlanksAndCutsComments) {
  struct Case {
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {" \t \n\r\r\n", {}},
      {"foo", {"S:foo"}},
      {"  foo   ; comment", {"S:foo"}},
      {"foo#more;text", {"S:foo"}},
      {"a\t#;b", {"S:a"}},
      {"# foo\n;bar\n  ; baz", {}},
      {"foo bar\r\n", {"S:foo bar"}},
      {"\tfoo\t \r\r\n\nbar", {"S:foo", "S:bar"}},
      {"[CODE]\r\nx\ry\nz", {"D:[CODE]", "S:x", "S:y", "S:z"}},
      {"[CODE] ; code follows\n", {"D:[CODE]"}},
      {"  [DATA]x y ", {"D:[DATA]x y"}},
      {"[", {"D:["}},
      {"a ;", {"S:a"}},
      // A byte-order mark is just bytes: the line is not a directive.
      {"\xEF\xBB\xBF[CODE]\n", {"S:\xEF\xBB\xBF[CODE]"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << "text: " << c.text;
}

TEST(DefScanner, VisitorStatusEndsTheScan) {
  std::string text = "a\nb\nc\n";
  int seen = 0;
  Status status = ScanDefText(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                              [&](DefTokenType, const uint8_t*, uint32_t) { return ++seen == 2 ? -7 : 0; });
  EXPECT_EQ(status, -7);
  EXPECT_EQ(seen, 2);
}

TEST(DefFile, MatchDirectiveComparesLeadingBytesOnly) {
  struct Case {
    std::string token;
    Status status;
    SymbolKind kind;
  } cases[] = {
      {"[CODE]", 0, kKindCode},   {"[DATA]", 0, kKindData},     {"[TLS]", 0, kKindTls},
      {"[CODE] foo", 0, kKindCode}, {"[TLS]x", 0, kKindTls},    {"[code]", -1, kKindNone},
      {"[TEXT]", -1, kKindNone},  {"[", -1, kKindNone},         {"[TLS", -1, kKindNone},
      {"[CODE", -1, kKindNone},   {"", -1, kKindNone},
  };
  for (const Case& c : cases) {
    SymbolKind kind = kKindNone;
    EXPECT_EQ(MatchDirective(reinterpret_cast<const uint8_t*>(c.token.data()),
                             static_cast<uint32_t>(c.token.size()), &kind),
              c.status)
        << c.token;
    EXPECT_EQ(kind, c.kind) << c.token;
  }
}

struct Expected {
  const char* name;
  uint8_t is_code, is_tls, class_flags;
};

void ExpectRecords(ExportsRun& t, std::initializer_list<Expected> records) {
  for (const Expected& e : records) {
    TrackedSymbol* r = t.run.tree.Find(reinterpret_cast<const uint8_t*>(e.name), static_cast<uint32_t>(strlen(e.name)));
    ASSERT_NE(r, nullptr) << e.name;
    EXPECT_EQ(r->is_code, e.is_code) << e.name;
    EXPECT_EQ(r->is_tls, e.is_tls) << e.name;
    EXPECT_EQ(r->class_flags, e.class_flags) << e.name;
    EXPECT_EQ(r->is_weak, 0) << e.name;
    EXPECT_EQ(r->object, nullptr) << e.name;
    EXPECT_EQ(r->exported, 0u) << e.name;
  }
}

TEST(DefOnly, RequiresADefinitionFile) {
  ExportsRun t;
  EXPECT_EQ(LoadDefOnlySymbols(t.run, nullptr), -1);
  t.run.options.module_name = "mod.qdm";
  EXPECT_EQ(LoadDefOnlySymbols(t.run, nullptr), -1);
  EXPECT_EQ(t.console,
            "***Error: \"(null)\", -q requires -x. Return -1\n"
            "***Error: \"mod.qdm\", -q requires -x. Return -1\n");
}

TEST(DefOnly, KindsFromDirectivesWithOneInfoLineForLeadingNames) {
  ExportsRun t;
  t.run.options.module_name = "mod";
  MappedFile* def = t.Map("a.def",
                          "; header\r\n  a  ; first\nfoo bar\n[DATA]\nc\n[TLS] thread\nt\n[CODE]\n__sti__init\n"
                          "a..b\na.b.\n");
  EXPECT_EQ(LoadDefOnlySymbols(t.run, def), 0);
  EXPECT_EQ(t.console, "Info: \"mod\", Missing [CODE] or [DATA] directive before symbol \"a\". Assuming [CODE].\n");
  ExpectRecords(t, {{"a", 1, 0, 0},
                    {"foo bar", 1, 0, 0},
                    {"c", 0, 0, 0},
                    {"t", 0, 1, 0},
                    {"__sti__init", 1, 0, CLASS_STATIC_INIT},
                    {"a..b", 1, 0, CLASS_DOUBLE_DOT},
                    {"a.b.", 1, 0, 0}});
  // Names point into the mapping, not copies.
  TrackedSymbol* c = t.run.tree.Find(reinterpret_cast<const uint8_t*>("c"), 1);
  EXPECT_GE(c->name, def->view);
  EXPECT_LT(c->name, def->view + def->size);
}

TEST(DefOnly, CommentsAndDirectivesOnlyMakeNoRecord) {
  ExportsRun t;
  EXPECT_EQ(LoadDefOnlySymbols(t.run, t.Map("a.def", "# x\n[CODE]\n\n;y\n[DATA]")), 0);
  EXPECT_EQ(t.run.tree.First(), nullptr);
  EXPECT_EQ(t.console, "");
}

TEST(DefOnly, RepeatedNamesConflictOnlyBetweenCodeAndNotCode) {
  struct Case {
    const char* text;
    bool verbose;
    Status status;
    const char* console;
    uint8_t is_tls;
  } cases[] = {
      {"[CODE]\nx\nx\n", false, 0, "", 0},
      {"[CODE]\nx\nx\n", true, 0, "INFO: Symbol \"x\" defined more than once in export DEF/Anti-DEF files files!\n", 0},
      {"[DATA]\nx\n[TLS]\nx\n", true, 0,
       "INFO: Symbol \"x\" defined more than once in export DEF/Anti-DEF files files!\n", 0},
      {"[TLS]\nx\n[DATA]\nx\n", false, 0, "", 1},
      {"[DATA]\nx\n[CODE]\nx\ny\n", false, -1,
       "Error: Symbol \"x\" defined more than once in export DEF/Anti-DEF files with at least once as DATA and once "
       "as CODE. Return -1.\n",
       0},
      {"[TLS]\nx\n[CODE]\nx\n", true, -1,
       "Error: Symbol \"x\" defined more than once in export DEF/Anti-DEF files with at least once as DATA and once "
       "as CODE. Return -1.\n",
       1},
  };
  for (const Case& c : cases) {
    ExportsRun t;
    t.run.tree.verbose = c.verbose;
    EXPECT_EQ(LoadDefOnlySymbols(t.run, t.Map("a.def", c.text)), c.status) << c.text;
    EXPECT_EQ(t.console, c.console) << c.text;
    TrackedSymbol* x = t.run.tree.Find(reinterpret_cast<const uint8_t*>("x"), 1);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->is_tls, c.is_tls) << c.text;
    // The scan stops at the conflict: later names are not entered.
    EXPECT_EQ(t.run.tree.Find(reinterpret_cast<const uint8_t*>("y"), 1), nullptr) << c.text;
  }
}

TEST(DefOnly, RepeatAddsClassFlagsToAnObjectRecord) {
  ExportsRun t;
  TrackedSymbol* object_record = t.Add("x..y", CLASS_LINKONCE, false, true);
  object_record->class_flags = CLASS_LINKONCE;  // as tracking left it
  EXPECT_EQ(LoadDefOnlySymbols(t.run, t.Map("a.def", "[CODE]\nx..y\n")), 0);
  EXPECT_EQ(object_record->class_flags, CLASS_LINKONCE | CLASS_DOUBLE_DOT);
}

TEST(DefOnly, UnknownDirectiveStopsTheScan) {
  ExportsRun t;
  EXPECT_EQ(LoadDefOnlySymbols(t.run, t.Map("a.def", "[CODE]\na\n[code] ; lower case\nb\n")), -1);
  EXPECT_EQ(t.console, "***Error: \"(null)\", Unknown directive found \"[code]\". Return -1.\n");
  EXPECT_NE(t.run.tree.Find(reinterpret_cast<const uint8_t*>("a"), 1), nullptr);
  EXPECT_EQ(t.run.tree.Find(reinterpret_cast<const uint8_t*>("b"), 1), nullptr);
}

}  // namespace
}  // namespace exportstest
