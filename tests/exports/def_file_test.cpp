#include "exports/def_file.h"

#include "exports/def_scanner.h"
#include "exports_fixture.h"

namespace exportstest {
namespace {

TEST(DefScanner, TextToTokens) {
  struct Case {
    std::string text;
    std::vector<std::string> tokens;  // "D:" directive, "S:" symbol
  } cases[] = {
      {" \t \n\r\r\n", {}},
      {"  foo   ; comment", {"S:foo"}},
      {"foo#more;text", {"S:foo"}},
      {"a\t#;b\n# foo\n;bar\n  ; baz", {"S:a"}},
      {"foo bar\r\n", {"S:foo bar"}},
      {"\tfoo\t \r\r\n\nbar", {"S:foo", "S:bar"}},
      {"[CODE]\r\nx\ry\nz", {"D:[CODE]", "S:x", "S:y", "S:z"}},
      {"  [DATA]x y ; c\n[", {"D:[DATA]x y", "D:["}},
      {"\xEF\xBB\xBF[CODE]", {"S:\xEF\xBB\xBF[CODE]"}},  // a byte-order mark is just bytes
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes(c.text.begin(), c.text.end());  // exactly sized
    std::vector<std::string> tokens;
    ScanDefText(bytes.data(), bytes.size(), [&](DefTokenType type, std::string_view token) {
      tokens.push_back((type == DefTokenType::kDirective ? "D:" : "S:") + std::string(token));
      return 0;
    });
    EXPECT_EQ(tokens, c.tokens) << c.text;
  }
}

TEST(DefFile, MatchDirectiveComparesLeadingBytes) {
  struct Case {
    std::string token;
    SymbolKind kind;  // kKindNone: unknown, status -1
  } cases[] = {{"[CODE]", kKindCode}, {"[DATA]", kKindData}, {"[TLS]x", kKindTls}, {"[CODE] foo", kKindCode},
               {"[code]", kKindNone}, {"[TEXT]", kKindNone}, {"[TLS", kKindNone},  {"", kKindNone}};
  for (const Case& c : cases) {
    SymbolKind kind = kKindNone;
    EXPECT_EQ(MatchDirective(c.token, &kind), c.kind == kKindNone ? -1 : 0) << c.token;
    EXPECT_EQ(kind, c.kind) << c.token;
  }
}

TEST(DefOnly, RecordsTakeKindsFromDirectivesAndFlagsFromNames) {
  ExportsRun t;
  EXPECT_EQ(LoadDefOnlySymbols(t.run.symbols, t.run.console, prepqdm::OrNull(t.run.options.module_name), nullptr, false), -1);
  t.run.options.module_name = "mod";
  MappedFile* def =
      t.Map("a.def", "; x\r\n  a  ; first\nfoo bar\n[DATA]\nc\n[TLS] thread\nt\n[CODE]\n__sti__i\na..b\n");
  EXPECT_EQ(LoadDefOnlySymbols(t.run.symbols, t.run.console, prepqdm::OrNull(t.run.options.module_name), def, false), 0);
  EXPECT_EQ(t.console,
            "***Error: \"(null)\", -q requires -x. Return -1\n"
            "Info: \"mod\", Missing [CODE] or [DATA] directive before symbol \"a\". Assuming [CODE].\n");
  struct Expected {
    std::string name;
    uint8_t is_code, is_tls, class_flags;
  } expected[] = {{"a", 1, 0, 0},
                  {"foo bar", 1, 0, 0},
                  {"c", 0, 0, 0},
                  {"t", 0, 1, 0},
                  {"__sti__i", 1, 0, CLASS_STATIC_INIT},
                  {"a..b", 1, 0, CLASS_DOUBLE_DOT}};
  for (const Expected& e : expected) {
    TrackedSymbol* r = t.Find(e.name);
    ASSERT_NE(r, nullptr) << e.name;
    EXPECT_EQ(std::tuple(uint8_t{r->is_code}, uint8_t{r->is_tls}, r->class_flags, uint8_t{r->is_weak}, r->object),
              std::tuple(e.is_code, e.is_tls, e.class_flags, uint8_t{0}, nullptr))
        << e.name;
    // The symbol table keeps its own copy, so the file's pages may be given back.
    EXPECT_FALSE(r->name_bytes() >= def->view && r->name_bytes() < def->view + def->size) << e.name;
  }
}

TEST(DefOnly, RepeatsConflictOnlyBetweenCodeAndNotCode) {
  const std::string info = "INFO: Symbol \"x\" defined more than once in export DEF/Anti-DEF files files!\n";
  const std::string conflict =
      "Error: Symbol \"x\" defined more than once in export DEF/Anti-DEF files with at least once as DATA and once "
      "as CODE. Return -1.\n";
  struct Case {
    const char* text;
    bool verbose;
    Status status;
    std::string console;
    uint8_t is_tls;
  } cases[] = {
      {"[CODE]\nx\nx\ny", false, 0, "", 0},
      {"[CODE]\nx\nx\ny", true, 0, info, 0},
      {"[TLS]\nx\n[DATA]\nx\ny", true, 0, info, 1},
      {"[DATA]\nx\n[CODE]\nx\ny", false, -1, conflict, 0},
      {"[TLS]\nx\n[CODE]\nx\ny", true, -1, conflict, 1},
      {"[CODE]\nx\n[code] ; lower\ny", false, -1,
       "***Error: \"(null)\", Unknown directive found \"[code]\". Return -1.\n", 0},
  };
  for (const Case& c : cases) {
    ExportsRun t;
    EXPECT_EQ(LoadDefOnlySymbols(t.run.symbols, t.run.console, prepqdm::OrNull(t.run.options.module_name), t.Map("a.def", c.text), c.verbose), c.status) << c.text;
    EXPECT_EQ(t.console, c.console) << c.text;
    ASSERT_NE(t.Find("x"), nullptr);
    EXPECT_EQ(t.Find("x")->is_tls, c.is_tls) << c.text;
    EXPECT_EQ(t.Find("y") != nullptr, c.status == 0) << "a failure stops the scan: " << c.text;
  }
}

}  // namespace
}  // namespace exportstest
