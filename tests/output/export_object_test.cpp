#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "host/mapped_file.h"
#include "output/crc32.h"
#include "output/export_object_writer.h"
#include "output_fixture.h"

using namespace prepqdm;
using namespace outputtest;
using testsupport::ReadFile;
using testsupport::TempDir;

TEST(Crc32, KnownVectors) {
  struct Case { std::string text; uint32_t initial, crc; } cases[] = {
      {"123456789", 0, 0xCBF43926u}, {"", 0x1234u, 0x1234u}, {"a", 0, 0xE8B7BE43u}};
  for (const Case& c : cases)
    EXPECT_EQ(Crc32(c.initial, reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()), c.crc) << c.text;
  // Continuing from an earlier result equals one pass over the whole.
  const uint8_t* d = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(Crc32(Crc32(0, d, 4), d + 4, 5), 0xCBF43926u);
}

// Head foo (code), baz (data), bar (code); definition-file-only, so
// big-endian PowerPC whatever the objects say.
TEST(ExportObject, WorkedExampleByteForByte) {
  TempDir dir;
  ExportRun r({{"foo", true}, {"baz", false}, {"bar", true}}, false, 3, dir.File("out.o"));
  r.run.options.def_only = true;
  testsupport::WriteFile(dir.File("out.o"), Bytes(5000, 0xFF));  // truncated, gaps zeroed
  std::string log;
  r.run.log.capture = &log;
  WrittenExportObject written = r.Write();
  ASSERT_EQ(written.status, 0);

  ExpectedImage e(960, true);
  e.ElfHeader(0, 20, 640, 0x80000000u, 8, 7);
  Bytes code_names = Cat(Text(std::string("bar\0foo\0", 8)), Zeros(14));
  e.Word(64, 2, ".fexports count");
  e.Word(68, ReferenceCrc(code_names), ".fexports crc");
  e.Word(76, 32, ".fexports entry 0 name");
  e.Word(84, 36, ".fexports entry 1 name");
  e.Raw(96, code_names, ".fexports names");
  e.Rela(128, 8, 1, 1, "code rela 0");
  e.Rela(140, 16, 2, 1, "code rela 1");
  Bytes data_names = Cat(Text(std::string("baz\0", 4)), Zeros(14));
  e.Word(192, 1, ".dexports count");
  e.Word(196, ReferenceCrc(data_names), ".dexports crc");
  e.Word(204, 24, ".dexports entry 0 name");
  e.Raw(216, data_names, ".dexports names");
  e.Rela(256, 8, 4, 1, "data rela 0");
  e.Symbol(320, 1, 5, 0, 0, 0x10, 0);
  e.Symbol(320, 2, 1, 0, 0, 0x10, 0);
  e.Symbol(320, 3, 9, 0, 54, 0x11, 1);
  e.Symbol(320, 4, 23, 0, 0, 0x10, 0);
  e.Symbol(320, 5, 27, 0, 42, 0x11, 3);
  e.Raw(448, Text(std::string("\0foo\0bar\0qdm_fexports\0\0baz\0qdm_dexports\0", 40)), ".strtab");
  e.Raw(512, Text(std::string("\0.fexports\0.fexports.rela\0.dexports\0.dexports.rela\0.symtab\0.strtab\0.secstrtab\0", 78)),
        ".secstrtab");
  e.Section(640, 1, {1, 0x80000001u, 6, 64, 54, 0, 0, 8, 0});
  e.Section(640, 2, {11, 4, 0, 128, 24, 5, 1, 12, 12});
  e.Section(640, 3, {26, 0x80000001u, 2, 192, 42, 0, 0, 8, 0});
  e.Section(640, 4, {36, 4, 0, 256, 12, 5, 3, 12, 12});
  e.Section(640, 5, {51, 2, 0, 320, 96, 6, 0, 16, 16});
  e.Section(640, 6, {59, 3, 0, 448, 40, 0, 0, 1, 0});
  e.Section(640, 7, {67, 3, 0, 512, 78, 0, 0, 1, 0});
  e.Compare(ReadFile(dir.File("out.o")));

  EXPECT_EQ(log, "3 CODE EXPORTS\n2 DATA EXPORTS\n\nCODE:\nbar\nfoo\nqdm_fexports\n\nDATA:\nbaz\nqdm_dexports\n");
  // name_offset follows list order, not table order.
  const std::vector<uint32_t>& offsets = written.name_offsets;  // oldest first
  EXPECT_EQ(offsets[offsets.size() - 1], 1u);
  EXPECT_EQ(offsets[offsets.size() - 3], 5u);
}

TEST(ExportObject, EmptyObjectIsFixedAndTruncatesAnOlderFile) {
  TempDir dir;
  ExportRun r({}, false, 3, dir.File("out.o"));
  testsupport::WriteFile(dir.File("out.o"), Bytes(5000, 0xFF));
  ASSERT_EQ(r.WriteEmpty(), 0);
  ExpectedImage e(320, true);
  e.ElfHeader(0, 20, 192, 0x80000000u, 3, 1);
  e.Raw(64, Text(std::string("\0.secstrtab\0.symtab\0", 20)), "section names");
  e.Section(192, 1, {1, 3, 0, 64, 20, 0, 0, 1, 0});
  e.Section(192, 2, {12, 2, 0, 128, 16, 1, 0, 0, 16});
  e.Compare(ReadFile(dir.File("out.o")));
}

TEST(ExportObject, LayoutFindsTablesTooLargeToLoad) {
  const uint64_t kHalf = uint64_t{1} << 31;
  // 8 * (1 + 2) + S + 14 reaching 2^31 is too large; one byte less is not.
  ExportObjectLayout fits = LayOutExportObject(1, kHalf - 39, 0, 0);
  EXPECT_FALSE(IsTooLarge(fits, 1));
  ExportObjectLayout code = LayOutExportObject(1, kHalf - 38, 1, 2);
  EXPECT_TRUE(IsTooLarge(code, 1));
  EXPECT_FALSE(IsTooLarge(code, 3));
  ExportObjectLayout data = LayOutExportObject(0, 0, 1, uint64_t{5} << 32);
  EXPECT_EQ(data.data_index, 1u);
  EXPECT_TRUE(IsTooLarge(data, 1));  // beyond 32 bits, not only bit 31
  // ".strtab" repeats the names, so a table just below the limit still
  // makes a file that 32-bit offsets cannot describe.
  EXPECT_EQ(FirstSectionBeyondFileLimit(fits), 4u);
  EXPECT_EQ(FirstSectionBeyondFileLimit(LayOutExportObject(1, kHalf / 2, 1, kHalf / 2 - 200)), 6u);
  EXPECT_EQ(FirstSectionBeyondFileLimit(LayOutExportObject(1, kHalf / 2, 1, kHalf / 4)), 0u);
}

TEST(ExportObject, TooLargeTableStopsBeforeTheFileIsTouched) {
  TempDir dir;
  ExportRun r({{"x", true}}, false, 3, dir.File("out.o"));
  std::string console;
  r.run.console.capture = &console;
  r.run.symbols.At(r.exports.entries.back().record).name_length = 0x7FFFFFF0u;  // never read: the check comes first
  EXPECT_EQ(r.Write().status, -1);
  EXPECT_EQ(console,
            "***Error: \".fexports\" sec 1, is too large to load.  Section size is 0x80000017. Return -1.\n");
  EXPECT_FALSE(testsupport::FileExists(dir.File("out.o")));
}

TEST(ExportObject, FileFailuresReportErrno) {
  TempDir dir;
  struct Case { bool empty; bool mapped; std::string path; Status status; std::string message; } cases[] = {
      {false, true, dir.File("m.o"), EBUSY, "*** error could not open output file for writing.\n"},
      {true, true, dir.File("m.o"), EBUSY, "***Error: Could not open output file for writing.\n"},
      {false, false, dir.File("nodir/x.o"), ENOENT, "*** error could not open output file for writing.\n"},
      // A device is written only by the copy after the commit, whose
      // message is the driver's.
      {false, false, "/dev/full", ENOSPC, ""},
      {true, false, "/dev/full", ENOSPC, ""},
  };
  testsupport::WriteFile(dir.File("m.o"), Bytes(300, 1));
  for (const Case& c : cases) {
    ExportRun r({{"x", true}}, false, 3, c.path);
    std::string console;
    r.run.console.capture = &console;
    MappedFile* mapped = nullptr;
    if (c.mapped) {
      ASSERT_EQ(MapFile(r.run.mappings, c.path, &mapped), 0);
    }
    EXPECT_EQ(c.empty ? r.WriteEmpty() : r.Write().status, c.status) << c.path;
    // The message, then a note with the path and the system's reason.
    EXPECT_EQ(console.substr(0, c.message.size()), c.message);
    if (!c.message.empty())
      EXPECT_EQ(console.substr(c.message.size()), "  note: " + c.path + ": " + strerror(c.status) + "\n");
    else
      EXPECT_EQ(console, "");
  }
  EXPECT_EQ(ReadFile(dir.File("m.o")), Bytes(300, 1));
}

// readelf must read every variant without a complaint and see what we wrote.
TEST(ExportObject, ReadelfAcceptsBothByteOrders) {
  TempDir dir;
  struct Variant { const char* label; std::vector<Export> list; } variants[] = {
      {"code", {{"zeta", true}, {"ab", true}, {"abc", true}}},
      {"data", {{"d", false}}},
      {"both", {{"f", true}, {"v", false}}},
      {"tls", {{"t", false, true}, {"plain", false}}},
  };
  for (bool big : {false, true}) {
    for (const Variant& v : variants) {
      SCOPED_TRACE(std::string(v.label) + (big ? " big" : " little"));
      std::string path = dir.File(v.label);
      ExportRun r(v.list, big, big ? 20 : 3, path);
      ASSERT_EQ(r.Write().status, 0);
      int code = 0;
      std::string out = Tool("readelf", {"-a", "-W", path}, &code);
      EXPECT_EQ(code, 0);
      // sh_info 0 on ".symtab" is what the platform expects; readelf notes it.
      const std::string kShInfoNote =
          "readelf: Warning: local symbol 0 found at index >= .symtab's sh_info value of 0\n";
      size_t note = out.find(kShInfoNote);
      ASSERT_NE(note, std::string::npos) << out;
      out.erase(note, kShInfoNote.size());
      EXPECT_EQ(out.find("Warning"), std::string::npos) << out;
      EXPECT_EQ(out.find("Error"), std::string::npos) << out;
      EXPECT_NE(out.find(big ? "big endian" : "little endian"), std::string::npos);
      bool has_code = v.label == std::string("code") || v.label == std::string("both");
      bool has_data = !(v.label == std::string("code"));
      EXPECT_EQ(out.find("Relocation section '.fexports.rela'") != std::string::npos, has_code) << out;
      EXPECT_EQ(out.find("Relocation section '.dexports.rela'") != std::string::npos, has_data) << out;
      EXPECT_EQ(out.find("qdm_fexports") != std::string::npos, has_code);
      EXPECT_EQ(out.find("qdm_dexports") != std::string::npos, has_data);
      for (const Export& x : v.list) EXPECT_NE(out.find(" " + x.name + "\n"), std::string::npos) << x.name;
      if (v.label == std::string("tls")) {
        // PowerPC knows type 78; for i386 readelf shows the raw number.
        EXPECT_NE(out.find(big ? "R_PPC_DTPREL32" : "unrecognized: 4e"), std::string::npos) << out;
        EXPECT_NE(out.find(big ? "R_PPC_ADDR32" : "R_386_32"), std::string::npos) << out;
      }
    }
  }
}

namespace prepqdm {
namespace {

// A list in descending name order (as -xall makes it) is taken as the table
// order reversed instead of being sorted; whatever the list order, the file
// must be the one sorting gives.
TEST(ExportObject, DescendingListsNeedNoSortAndOthersAreSorted) {
  using List = std::vector<Export>;
  const List lists[] = {
      {{"zeta", true}, {"mid", false}, {"beta", true}, {"alpha", false, true}, {"Alpha", true}},
      {{"a", true}, {"b", true}, {"c", false}, {"d", false}},
      {{"m", true}, {"x", true}, {"a", true}, {"q", false}, {"b", false}, {"z", false}},
      {{"only", false}},
  };
  TempDir dir;
  for (const List& list : lists) {
    ExportRun taken(list, true, 20, dir.File("taken.o"));
    ASSERT_EQ(taken.Write().status, 0);
    ExportRun sorted(list, true, 20, dir.File("sorted.o"));
    sorted.exports.ascending = false;  // never trust the order: always sort
    ASSERT_EQ(sorted.Write().status, 0);
    EXPECT_EQ(ReadFile(dir.File("taken.o")), ReadFile(dir.File("sorted.o"))) << list.front().name;
  }
}

}  // namespace
}  // namespace prepqdm
