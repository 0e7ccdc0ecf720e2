// The inspector on export objects and import libraries that prepqdm wrote,
// in both byte orders, then on the same files damaged on purpose, then on
// input it cannot read at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

#include "dump_fixture.h"
#include "elf/reader_status.h"
#include "host/output.h"
#include "inspect/file_inspector.h"
#include "inspect/render.h"
#include "json_reader.h"
#include "support/ar_builder.h"

using namespace prepqdm;
using namespace dumptest;
using testsupport::Bytes;
using testsupport::TempDir;

namespace {

// The worked example: definition-file order bar, baz, foo, so the export
// list runs foo, baz, bar from its head.
const std::vector<Symbol> kWorkedExample = {{"bar", 'c'}, {"baz", 'd'}, {"foo", 'c'}};

std::string Problems(const ObjectReport& r) {
  std::string all;
  for (const std::string& p : r.problems) all += p + "\n";
  return all;
}

FileReport InspectBytes(const TempDir& dir, const std::string& name, const Bytes& bytes) {
  testsupport::WriteFile(dir.File(name), bytes);
  return InspectFile(dir.File(name));
}

}  // namespace

TEST(InspectExportObject, WorkedExampleAndTlsInBothByteOrders) {
  for (bool big : {true, false}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    TempDir dir;
    WriteOutputs(dir, big, {{"bar", 'c'}, {"baz", 'd'}, {"foo", 'c'}, {"t", 't'}});
    FileReport file = InspectFile(dir.File("exports.o"));
    ASSERT_EQ(file.objects.size(), 1u);
    const ObjectReport& r = file.objects[0];
    ASSERT_TRUE(r.object) << r.error;
    EXPECT_EQ(Problems(r), "");
    const ObjectFacts& o = *r.object;
    EXPECT_EQ(o.kind, ObjectKind::kExportObject);
    EXPECT_EQ(o.big_endian, big);
    EXPECT_EQ(o.machine, big ? EM_PPC : 3);
    EXPECT_EQ(o.symbol_count, 7u);
    ASSERT_EQ(o.export_tables.size(), 2u);

    const ExportTableFacts& code = o.export_tables[0];
    EXPECT_TRUE(code.code);
    EXPECT_EQ(code.section_name, ".fexports");
    EXPECT_EQ(code.count, 2u);
    EXPECT_EQ(code.stored_crc, NamesCrc({"bar", "foo"}));
    EXPECT_EQ(code.computed_crc, code.stored_crc);
    ASSERT_EQ(code.entries.size(), 2u);
    EXPECT_EQ(code.entries[1].name, "foo");
    EXPECT_EQ(code.entries[1].name_offset, 36u);
    ASSERT_TRUE(code.entries[1].relocation);
    EXPECT_EQ(code.entries[1].relocation->type, R_PPC_ADDR32);
    EXPECT_EQ(code.entries[1].relocation->symbol_index, 2u);
    EXPECT_EQ(code.entries[1].relocation->symbol_name, "foo");

    const ExportTableFacts& data = o.export_tables[1];
    EXPECT_EQ(data.stored_crc, NamesCrc({"baz", "t"}));
    ASSERT_EQ(data.entries.size(), 2u);
    EXPECT_FALSE(data.entries[0].tls);
    EXPECT_TRUE(data.entries[1].tls);
    EXPECT_EQ(data.entries[1].relocation->type, R_PPC_DTPREL32);
    EXPECT_EQ(data.entries[1].relocation->symbol_name, "t");
    EXPECT_EQ(ExitStatusOf({file}), kDumpClean);
  }
}

TEST(InspectImportLibrary, ArchiveAndBareStubInBothByteOrders) {
  for (bool big : {true, false}) {
    for (bool bare : {false, true}) {
      SCOPED_TRACE(std::string(big ? "big" : "little") + (bare ? " bare" : " archive"));
      TempDir dir;
      WriteOutputs(dir, big, {{"bar", 'c'}, {"baz", 'd'}, {"foo", 'c'}, {"t", 't'}}, bare);
      FileReport file = InspectFile(dir.File("lib.a"));
      EXPECT_EQ(file.archive, !bare);
      EXPECT_EQ(file.error, "");
      // The archiver may have added a symbol index; the stub is the last member.
      ASSERT_FALSE(file.objects.empty());
      const ObjectReport& r = file.objects.back();
      if (!bare) {
        ASSERT_TRUE(r.member);
        EXPECT_EQ(r.member->name, "foo.qdm.o");
        EXPECT_EQ(r.member->mode, "100666");
      }
      ASSERT_TRUE(r.object) << r.error;
      EXPECT_EQ(Problems(r), "");
      EXPECT_EQ(r.object->kind, ObjectKind::kImportStub);
      EXPECT_EQ(r.object->big_endian, big);
      ASSERT_EQ(r.object->import_tables.size(), 2u);
      const ImportTableFacts& code = r.object->import_tables[0];
      EXPECT_EQ(code.section_name, ".fimport_foo.qdm");
      EXPECT_EQ(code.module_name, "foo.qdm");
      EXPECT_EQ(code.count, 2u);
      EXPECT_EQ(code.stored_crc, NamesCrc({"bar", "foo"}));
      EXPECT_EQ(code.computed_crc, code.stored_crc);
      const ImportTableFacts& data = r.object->import_tables[1];
      ASSERT_EQ(data.slots.size(), 2u);
      EXPECT_EQ(data.slots[0].name, "baz");
      EXPECT_EQ(data.slots[0].kind, "data");
      EXPECT_EQ(data.slots[1].name, "t");
      EXPECT_EQ(data.slots[1].kind, "thread-local data");
      EXPECT_EQ(code.slots[1].kind, "function");
    }
  }
}

TEST(InspectExportObject, EmptyObjectIsRecognised) {
  TempDir dir;
  WriteOutputs(dir, false, {});
  FileReport file = InspectFile(dir.File("exports.o"));
  ASSERT_TRUE(file.objects.at(0).object);
  EXPECT_EQ(file.objects[0].object->kind, ObjectKind::kEmptyExportObject);
  EXPECT_EQ(ExitStatusOf({file}), kDumpClean);
}

// Damage to the worked example's export object (big- and little-endian; the
// layout is the same: .fexports at 64, its relocations at 128, .dexports at
// 192, .symtab at 320, section 5). Each row must be seen, on a line of its
// own, and the file still dumped.
TEST(InspectExportObject, DamageCatalogue) {
  using testsupport::Put32;
  struct Row {
    const char* defect;
    std::function<void(Bytes&, bool)> patch;
    const char* problem;
  } rows[] = {
      {"corrupted CRC", [](Bytes& f, bool big) { Put32(f, 68, testsupport::Get32(f, 68, big) ^ 1, big); },
       "section 1 (.fexports): CRC mismatch: stored"},
      {"name offset outside", [](Bytes& f, bool big) { Put32(f, 84, 0x1000, big); },
       "entry 1: name offset 0x1000 outside the section (54 bytes)"},
      {"entry without relocation",
       [](Bytes& f, bool) { testsupport::PatchSection(f, 2, [](SectionHeader& s) { s.sh_size = 12; }); },
       "entry 1 \"foo\": no relocation"},
      {"symbol count", [](Bytes& f, bool) { testsupport::PatchSection(f, 5, [](SectionHeader& s) { s.sh_size -= 16; }); },
       "5 symbols, 6 expected"},
      {"count beyond the section", [](Bytes& f, bool big) { Put32(f, 64, 1000, big); },
       "1000 entries do not fit the section (54 bytes)"},
      {"relocation against another symbol", [](Bytes& f, bool big) { Put32(f, 132, (2u << 8) | 1, big); },
       "entry 0 \"bar\": relocated against \"foo\""},
      {"TLS mark in code", [](Bytes& f, bool big) { Put32(f, 76, 32 | 0x80000000u, big); },
       "entry 0 \"bar\": TLS mark in the code table"},
      {"wrong data relocation type", [](Bytes& f, bool big) { Put32(f, 260, (4u << 8) | 78, big); },
       "entry 0 \"baz\": relocation type 78, 1 expected"},
      {"names out of order",
       [](Bytes& f, bool big) {
         Put32(f, 76, 36, big);
         Put32(f, 84, 32, big);
       },
       "entry 1 \"bar\": not after \"foo\" in name order"},
  };
  for (bool big : {true, false}) {
    TempDir dir;
    WriteOutputs(dir, big, kWorkedExample);
    const Bytes original = testsupport::ReadFile(dir.File("exports.o"));
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.defect) + (big ? " (big-endian)" : " (little-endian)"));
      Bytes damaged = original;
      row.patch(damaged, big);
      FileReport file = InspectBytes(dir, "damaged.o", damaged);
      ASSERT_EQ(file.objects.size(), 1u);
      ASSERT_TRUE(file.objects[0].object) << file.objects[0].error;
      EXPECT_NE(Problems(file.objects[0]).find(row.problem), std::string::npos) << Problems(file.objects[0]);
      EXPECT_EQ(ExitStatusOf({file}), kDumpProblems);
    }
  }
}

// Damage to a bare stub (.fimport at 64, .dimport at 128, .symtab section 3).
TEST(InspectImportLibrary, DamageCatalogue) {
  struct Row {
    const char* defect;
    std::function<void(Bytes&, bool)> patch;
    const char* problem;
  } rows[] = {
      {"CRC", [](Bytes& f, bool big) { testsupport::Put32(f, 68, 0x12345678, big); },
       "CRC 0x12345678 does not match the slot names"},
      {"slot twice",
       [](Bytes& f, bool) { testsupport::PatchSymbol(f, 3, 2, [](ElfSymbol& s) { s.st_value = 8; }); },
       "slots do not run 0 to 1 once each"},
      {"data symbol in code section",
       [](Bytes& f, bool) { testsupport::PatchSymbol(f, 3, 1, [](ElfSymbol& s) { s.st_info = 0x11; }); },
       "symbol 1 \"bar\": data in the code import section"},
      {"module name length",
       [](Bytes& f, bool) { testsupport::PatchSection(f, 1, [](SectionHeader& s) { s.sh_info = 3; }); },
       "name does not match module \"foo\""},
  };
  for (bool big : {true, false}) {
    TempDir dir;
    WriteOutputs(dir, big, kWorkedExample, true);
    const Bytes original = testsupport::ReadFile(dir.File("lib.a"));
    for (const Row& row : rows) {
      SCOPED_TRACE(row.defect);
      Bytes damaged = original;
      row.patch(damaged, big);
      FileReport file = InspectBytes(dir, "damaged.a", damaged);
      ASSERT_TRUE(file.objects.at(0).object) << file.objects[0].error;
      EXPECT_NE(Problems(file.objects[0]).find(row.problem), std::string::npos) << Problems(file.objects[0]);
    }
  }
}

// An import library is usable only indexed, and holds nothing but its stub.
TEST(InspectImportLibrary, ArchiveProblems) {
  TempDir dir;
  WriteOutputs(dir, false, kWorkedExample, true);
  const Bytes stub = testsupport::ReadFile(dir.File("lib.a"));
  struct Row {
    const char* defect;
    Bytes archive;
    const char* problem;
  } rows[] = {
      {"no symbol index", testsupport::ArBuilder().Add("foo.qdm.o", stub).Build(), "no archive symbol index"},
      {"member not an ELF object", testsupport::ArBuilder().AddSymbolIndex().Add("notes.txt", Bytes(300, 'x')).Build(),
       "not an ELF object, and its name does not mark it as one; prepqdm passes this member over"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.defect);
    FileReport file = InspectBytes(dir, "lib.a", row.archive);
    EXPECT_NE(Problems(file.objects.back()).find(row.problem), std::string::npos) << Problems(file.objects.back());
    EXPECT_EQ(ExitStatusOf({file}), kDumpProblems);
  }
}

// Input that cannot be read: a message naming the file (and the member), and
// status 2, from the program itself.
TEST(InspectBadInput, CatalogueThroughTheProgram) {
  TempDir dir;
  WriteOutputs(dir, true, kWorkedExample);
  Bytes good = testsupport::ReadFile(dir.File("exports.o"));
  Bytes bad_class = good;
  bad_class[EI_CLASS] = 2;
  testsupport::ElfBuilder plain;
  plain.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(300, 0));
  // GCC's slim LTO output and clang's LLVM bitcode: said to be what they are.
  testsupport::ElfBuilder slim;
  slim.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(300, 0));
  slim.AddProgbits(".gnu.lto_.symtab.0", 0, Bytes(16, 1));
  slim.AddGlobal("__gnu_lto_slim", SHN_COMMON, 1, 1, STT_OBJECT);
  testsupport::ElfBuilder marker;  // the marker without LTO sections: prepqdm reads it as any object
  marker.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(300, 0));
  marker.AddGlobal("__gnu_lto_slim", SHN_COMMON, 1, 1, STT_OBJECT);
  Bytes bitcode = {'B', 'C', 0xC0, 0xDE};
  bitcode.resize(400, 0x35);
  auto archive = [](const Bytes& member, const std::string& size) {
    std::string header = "!<arch>\nbroken.o/       0           0     0     100666  " + size;
    header.resize(66, ' ');
    header += "`\n";
    Bytes a(header.begin(), header.end());
    a.insert(a.end(), member.begin(), member.end());
    return a;
  };
  struct Row {
    const char* name;
    std::optional<Bytes> bytes;  // none: the file does not exist
    const char* message;
  } rows[] = {
      {"missing.o", std::nullopt, "missing.o: no such file"},
      {"empty.o", Bytes{}, "empty.o: empty, or too large to map"},
      {"text.o", Bytes(400, 'x'), "text.o: neither an ELF object nor an ar archive"},
      {"short.o", Bytes(good.begin(), good.begin() + 100), "short.o: too short for an ELF object (100 bytes)"},
      {"class.o", bad_class, "class.o: refused by the ELF reader: error 0xBAD0001A"},
      {"plain.o", plain.Build(), "plain.o: neither an export object nor an import library stub"},
      {"slim.o", slim.Build(),
       "slim.o: holds only LTO bytecode (compiled with -flto without -ffat-lto-objects): give prepqdm objects with "
       "machine code (add -ffat-lto-objects, or run it on the output of ld -r -flto)\n"},
      {"marker.o", marker.Build(), "marker.o: neither an export object nor an import library stub"},
      {"bitcode.o", bitcode,
       "bitcode.o: neither an ELF object nor an ar archive: LLVM bitcode (clang -flto): give prepqdm objects with "
       "machine code\n"},
      {"slim.a", archive(slim.Build(), std::to_string(slim.Build().size())),
       "slim.a(broken.o): header at byte 8: holds only LTO bytecode (compiled with -flto without -ffat-lto-objects): "
       "give prepqdm objects with machine code (add -ffat-lto-objects, or run it on the output of ld -r -flto); "
       "prepqdm stops here"},
      {"bitcode.a", archive(bitcode, std::to_string(bitcode.size())),
       "bitcode.a(broken.o): header at byte 8: refused by the ELF reader: error 0xBAD00019: no ELF magic (0x7F 'E' "
       "'L' 'F'); not an ELF object: name only objects and archives; LLVM bitcode (clang -flto): give prepqdm "
       "objects with machine code; prepqdm stops here"},
      {"member.a", archive(bad_class, std::to_string(bad_class.size())),
       "member.a(broken.o): header at byte 8: refused by the ELF reader: error 0xBAD0001A"},
      {"overrun.a", archive(good, "99999"),
       "overrun.a: damaged archive: overrun.a(broken.o), header at byte 8: ar_size (at byte 56) gives 99999 bytes"},
  };
  std::vector<std::string> args;
  for (const Row& row : rows) {
    if (row.bytes) testsupport::WriteFile(dir.File(row.name), *row.bytes);
    args.push_back(row.name);
  }
  testsupport::ProcessResult r = testsupport::RunProgram(QDMDUMP_BINARY, args, dir.path());
  EXPECT_EQ(r.exit_code, kDumpBadInput);
  for (const Row& row : rows)
    EXPECT_NE(r.err.find(std::string("qdmdump: ") + row.message), std::string::npos) << row.name << "\n" << r.err;
}

// Every archive problem in words: the member as lib.a(member.o), its
// header's offset and field, and what prepqdm does with it. Members after
// the first: at 68 + 60 + 4 (a four-byte symbol index).
TEST(InspectArchive, ProblemsInWordsThroughTheProgram) {
  using testsupport::ArBuilder;
  TempDir dir;
  WriteOutputs(dir, false, kWorkedExample, true);
  const Bytes stub = testsupport::ReadFile(dir.File("lib.a"));
  const Bytes text(300, 'x');
  const Bytes library = ArBuilder().Add("foo.qdm.o", stub).Build();
  auto Raw = [](const char* field, const Bytes& data, std::optional<std::string> size = std::nullopt,
                const char* fmag = "`\n") {
    testsupport::ArMember m;
    m.name_field = field;
    m.data = data;
    m.size_field = size;
    m.fmag = fmag;
    return m;
  };
  struct Row {
    const char* name;
    Bytes archive;
    int exit_code;
    const char* words;  // in standard output or error
  } rows[] = {
      {"mixed.a", ArBuilder().AddSymbolIndex().Add("notelf_big.o", text).Build(), kDumpBadInput,
       "qdmdump: mixed.a(notelf_big.o): header at byte 72: refused by the ELF reader: error 0xBAD00019: no ELF magic "
       "(0x7F 'E' 'L' 'F'); not an ELF object: name only objects and archives; prepqdm stops here"},
      {"text.a", ArBuilder().AddSymbolIndex().Add("notes.txt", text).Build(), kDumpProblems,
       "problem: text.a(notes.txt), header at byte 72: not an ELF object, and its name does not mark it as one; "
       "prepqdm passes this member over"},
      {"named.a", ArBuilder().AddSymbolIndex().Add("stub.bin", stub).Build(), kDumpProblems,
       "problem: named.a(stub.bin), header at byte 72: an ELF object, but its name does not mark it as one (a '.' "
       "then 'o' or 'O' after its last '.', as in util.o); prepqdm passes this member over"},
      {"early.a", ArBuilder().AddRaw(Raw("/0", stub)).Build(), kDumpProblems,
       "problem: early.a(/0), header at byte 8: ar_name \"/0\" refers to a long-name table, and none comes before it; "
       "prepqdm passes this member over"},
      {"cut.a", Bytes(library.begin(), library.begin() + 200), kDumpBadInput,
       "qdmdump: cut.a: damaged archive: cut.a(foo.qdm.o), header at byte 8: ar_size (at byte 56) gives 640 bytes, "
       "but the file has 132 after the header: the archive is cut short; prepqdm stops here"},
      {"fmag.a", ArBuilder().AddRaw(Raw("foo.qdm.o/", stub, std::nullopt, "`x")).Build(), kDumpBadInput,
       "qdmdump: fmag.a: damaged archive: fmag.a(foo.qdm.o/), header at byte 8: the header's end mark ar_fmag (at "
       "byte 66) is 0x60 0x78, not 0x60 0x0A"},
      {"zero.a", ArBuilder().AddRaw(Raw("a.o/", stub, "0")).Build(), kDumpBadInput,
       "zero.a(a.o), header at byte 8: ar_size (at byte 56) \"0\" reads as 0; prepqdm stops here"},
      {"small.a", Bytes{'!', '<', 'a', 'r', 'c', 'h', '>', '\n', ' '}, kDumpBadInput,
       "qdmdump: small.a: damaged archive: 9 bytes, less than the 8-byte magic and one 60-byte member header"},
  };
  for (const Row& row : rows) {
    testsupport::WriteFile(dir.File(row.name), row.archive);
    testsupport::ProcessResult r = testsupport::RunProgram(QDMDUMP_BINARY, {row.name}, dir.path());
    EXPECT_EQ(r.exit_code, row.exit_code) << row.name << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(row.words), std::string::npos) << row.name << "\n" << r.out << r.err;
  }
}

// Two files, an export object and an import library in either order: the
// library's counts and CRCs must be the export object's. "" expects no pair
// line. Modules that export nothing pair with each other only.
TEST(InspectPair, CatalogueThroughTheProgram) {
  TempDir dir;
  auto run = [&dir](const std::vector<Symbol>& symbols, const std::string& prefix) {
    WriteOutputs(dir, false, symbols);
    testsupport::WriteFile(dir.File(prefix + ".o"), testsupport::ReadFile(dir.File("exports.o")));
    testsupport::WriteFile(dir.File(prefix + ".a"), testsupport::ReadFile(dir.File("lib.a")));
  };
  run(kWorkedExample, "a");
  run({{"bar", 'c'}, {"baz", 'd'}, {"qux", 'c'}}, "b");  // the same counts, other names
  run({{"bar", 'c'}}, "c");
  run({}, "none");
  testsupport::WriteFile(dir.File("stub.o"), EmptyStub());
  testsupport::WriteFile(dir.File("stub.a"),
                         testsupport::ArBuilder().AddSymbolIndex().Add("foo.qdm.o", EmptyStub()).Build());
  testsupport::WriteFile(dir.File("magic.a"), Bytes{'!', '<', 'a', 'r', 'c', 'h', '>', '\n'});
  const std::string b_crc = Format("code table CRC 0x%08X, export object 0x%08X", NamesCrc({"bar", "qux"}),
                                   NamesCrc({"bar", "foo"}));
  struct Row {
    std::vector<std::string> args;
    int exit_code;
    std::string pair_line;
  } rows[] = {
      {{"a.o", "a.a"}, kDumpClean, ""},
      {{"a.a", "a.o"}, kDumpClean, ""},
      {{"b.a", "a.o"}, kDumpProblems, "\nproblem: b.a does not belong to a.o: " + b_crc + "\n"},
      {{"a.o", "c.a"}, kDumpProblems,
       "problem: c.a does not belong to a.o: code table count 1, export object 2\n"
       "problem: c.a does not belong to a.o: data table count 0, export object 1\n"},
      {{"none.o", "stub.o"}, kDumpClean, ""},
      {{"none.a", "none.o"}, kDumpClean, "  import library of foo.qdm: exports nothing\n"},
      {{"stub.o"}, kDumpClean, "  import library of a module (a bare stub does not name it): exports nothing\n"},
      {{"a.o", "none.a"}, kDumpProblems, "problem: none.a does not belong to a.o: code table count 0, export object 2"},
      {{"stub.a", "none.o"}, kDumpClean, ""},
      {{"none.o", "magic.a"}, kDumpClean, ""},
      {{"stub.o", "a.o"}, kDumpProblems, "problem: stub.o does not belong to a.o: code table count 0, export object 2"},
      {{"none.o", "c.a"}, kDumpProblems, "problem: c.a does not belong to none.o: code table count 1, export object 0"},
      {{"b.o", "a.o"}, kDumpClean, ""},                       // two export objects: no pair
      {{"a.o", "b.a", "a.a"}, kDumpClean, ""},                // three files: no pair
      {{"magic.a"}, kDumpClean, "magic.a: ar archive, no members\n"},
      {{"--json", "b.a", "a.o"}, kDumpProblems, "\"belongs\":false,\"problems\":[\"b.a does not belong"},
  };
  for (const Row& row : rows) {
    testsupport::ProcessResult r = testsupport::RunProgram(QDMDUMP_BINARY, row.args, dir.path());
    const std::string label = row.args[0] + " " + row.args.back();
    EXPECT_EQ(r.exit_code, row.exit_code) << label << "\n" << r.out << r.err;
    if (row.pair_line.empty()) EXPECT_EQ(r.out.find("does not belong"), std::string::npos) << label << "\n" << r.out;
    else EXPECT_NE(r.out.find(row.pair_line), std::string::npos) << label << "\n" << r.out;
  }
}

TEST(InspectJson, DocumentCarriesTheFactsAndParsesBack) {
  TempDir dir;
  WriteOutputs(dir, true, {{"bar", 'c'}, {"t", 't'}});
  Bytes damaged = testsupport::ReadFile(dir.File("exports.o"));
  testsupport::Put32(damaged, 68, 0, true);
  testsupport::WriteFile(dir.File("damaged.o"), damaged);
  testsupport::ProcessResult r =
      testsupport::RunProgram(QDMDUMP_BINARY, {"--json", "exports.o", "lib.a", "damaged.o"}, dir.path());
  EXPECT_EQ(r.exit_code, kDumpProblems);
  Json doc = JsonParser::Parse(r.out);
  EXPECT_EQ(doc["status"].number, kDumpProblems);
  const Json& code = doc["files"][0]["objects"][0]["object"]["export_tables"][0];
  EXPECT_EQ(code["entries"][0]["name"].string, "bar");
  EXPECT_EQ(code["stored_crc"].number, NamesCrc({"bar"}));
  EXPECT_TRUE(code["crc_ok"].boolean);
  const Json& data = doc["files"][0]["objects"][0]["object"]["export_tables"][1];
  EXPECT_TRUE(data["entries"][0]["tls"].boolean);
  EXPECT_EQ(data["entries"][0]["relocation"]["type"].number, 78);
  const Json& stub = doc["files"][1]["objects"].array.back();
  EXPECT_EQ(stub["member"]["name"].string, "foo.qdm.o");
  EXPECT_EQ(stub["object"]["import_tables"][1]["slots"][0]["kind"].string, "thread-local data");
  const Json& bad = doc["files"][2]["objects"][0];
  EXPECT_FALSE(bad["object"]["export_tables"][0]["crc_ok"].boolean);
  EXPECT_EQ(bad["problems"].array.size(), 1u);
}

// Options may stand anywhere among the files; an unknown one is a usage
// error; relocation types are named for the object's machine; a C++ name is
// shown demangled beside the mangled one, in JSON as a field of its own.
TEST(InspectCommandLine, OptionsAnywhereAndMachineRelocationNames) {
  TempDir dir;
  WriteOutputs(dir, false, {{"bar", 'c'}, {"_ZN5audio12mixer_volumeEi", 'c'}});
  struct Row {
    std::vector<std::string> args;
    int exit_code;
    const char* out;  // part of standard output, or of standard error for a usage error
  } rows[] = {
      {{"exports.o", "--json"}, kDumpClean, "{\"schema_version\":2,"},
      {{"exports.o"}, kDumpClean, "R_386_32 (1) against symbol"},
      {{"-V", "exports.o"}, kDumpBadInput, "qdmdump: unknown option \"-V\""},
      {{"--symbol", "bar", "exports.o"}, kDumpBadInput, "--symbol belongs to --explain"},
      {{"exports.o", "--explain", "-xall", "m.o"}, kDumpBadInput, "--explain comes before"},
      {{"--", "--json"}, kDumpBadInput, "qdmdump: --json: no such file"},
      {{"--version"}, kDumpClean, "qdmdump "},
      {{"exports.o"}, kDumpClean, "] _ZN5audio12mixer_volumeEi (audio::mixer_volume(int))  name at 0x"},
      {{"--json", "lib.a"}, kDumpClean,
       "\"name\":\"_ZN5audio12mixer_volumeEi\",\"demangled\":\"audio::mixer_volume(int)\",\"kind\":\"function\""},
      {{"--json", "exports.o"}, kDumpClean, "\"name\":\"bar\",\"name_offset\""},
  };
  for (const Row& row : rows) {
    testsupport::ProcessResult r = testsupport::RunProgram(QDMDUMP_BINARY, row.args, dir.path());
    EXPECT_EQ(r.exit_code, row.exit_code) << row.args[0];
    EXPECT_NE((r.out + r.err).find(row.out), std::string::npos) << row.args[0] << "\n" << r.out << r.err;
  }
}

// The man page's table of reader checks says, row by row, what the status
// table says: code, exit status, words and remedy, and no row more or less.
TEST(InspectCheckWords, ManPageRowsFollowTheStatusTable) {
  std::string source = __FILE__;
  std::vector<uint8_t> bytes =
      testsupport::ReadFile(source.substr(0, source.rfind("/tests/")) + "/man/prepqdm.1");
  std::string man(bytes.begin(), bytes.end());
  const size_t from = man.find(".SS Checks of the ELF reader");
  ASSERT_NE(from, std::string::npos);
  const std::string section = man.substr(from, man.find("\n.SS ", from + 1) - from);
  std::map<uint32_t, std::string> rows;  // code -> the row, each \- read as -
  for (size_t at = section.find(".BR 0xBAD000"); at != std::string::npos; at = section.find(".BR 0xBAD000", at + 1)) {
    const uint32_t code = static_cast<uint32_t>(std::stoul(section.substr(at + 4, 10), nullptr, 16));
    const size_t end = std::min(section.find("\n.TP", at), section.size());
    std::string row = section.substr(at, end - at);
    for (size_t dash = row.find("\\-"); dash != std::string::npos; dash = row.find("\\-", dash)) row.erase(dash, 1);
    EXPECT_TRUE(rows.emplace(code, row).second) << "two rows for " << std::hex << code;
  }
  for (const ReaderStatus& status : kReaderStatuses) {
    char head[64];
    std::snprintf(head, sizeof head, ".BR 0x%08X \" (exit status %u)\"\n", status.code, status.code & 0xFF);
    std::string words = status.words;
    words[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(words[0])));
    EXPECT_EQ(rows[status.code], head + words + ";\n" + status.remedy + ".") << status.name;
  }
  EXPECT_EQ(rows.size(), std::size(kReaderStatuses));
  EXPECT_EQ(*ReaderStatusWords(0xBAD0001Au),
            "64-bit ELF (ELFCLASS64); prepqdm reads ELF32: compile with -m32 or the 32-bit toolchain");
  EXPECT_FALSE(ReaderStatusWords(0xBAD00010u));
}
