// ReadArchive: a catalogue of archives built with the test-side writer (each
// row the members, the expected status, console text and registered names),
// and a real GNU `ar` archive of compiler output.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "driver/run_state.h"
#include "elf/ar_format.h"
#include "elf/archive_reader.h"
#include "gcc_objects.h"
#include "support/ar_builder.h"
#include "support/elf_builder.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using namespace testsupport;

namespace {

Bytes Object(const std::string& symbol, bool odd = false) {
  ElfBuilder b(false);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
  b.AddGlobal(symbol, static_cast<uint16_t>(text), 0, 8);
  Bytes image = b.Build();
  if (image.size() % 2 == 0 && odd) image.push_back(0);
  if (image.size() % 2 != 0 && !odd) image.push_back(0);
  return image;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

ArMember Raw(const std::string& name_field, Bytes data) {
  ArMember m;
  m.name_field = name_field;
  m.data = std::move(data);
  return m;
}
ArMember WithSize(ArMember m, const std::string& size) {
  m.size_field = size;
  return m;
}

struct ArchiveResult {
  Status status;
  std::string console;
  std::vector<std::string> names;  // archive order
  std::string path;
};

ArchiveResult ReadBytes(const Bytes& archive) {
  TempDir dir;
  ArchiveResult result;
  result.path = dir.File("lib.a");
  WriteFile(result.path, archive);
  RunState run;
  run.console = Sink{nullptr, &result.console};
  MappedFile* file = nullptr;
  EXPECT_EQ(MapFile(run.mappings, result.path, &file), 0);
  result.status = ReadArchive(run.inputs.registry, run.console, file);
  for (ObjectModule* m = run.inputs.registry.head; m; m = m->next) result.names.push_back(m->name);
  std::reverse(result.names.begin(), result.names.end());
  EXPECT_EQ(file->reference_count.load(), 1 + run.inputs.registry.count);
  return result;
}

struct Row {
  const char* what;
  std::function<Bytes()> archive;
  Status status;
  std::string message;  // "%s" stands for the archive path
  std::vector<std::string> names;
};

ArMember Unpadded(ArMember m) {
  m.pad = false;
  return m;
}
ArMember Magic(ArMember m, const char* fmag) {
  m.fmag = fmag;
  return m;
}
Bytes With(Bytes b, size_t count, uint8_t byte) {
  b.resize(b.size() + count, byte);
  return b;
}

const char* const kTooSmall = "***Error: file \"%s\" is too small to be useful. Return -1.\n";
const char* const kBadFormat = "***Error: file \"%s\" has invalid library file format. Return -1\n";
const char* const kZeroSize = "***Error: Invalid file size for file inside \"%s\".\n";
const char* const kPastEnd = "***Error: Member size runs past the end of file \"%s\". Return -1.\n";
const char* const kBadSize = "***Error: Invalid member size inside \"%s\". Return -1.\n";

// The line after the message of a member that stops the walk.
std::string Note(uint64_t header) { return "  note: member of %s, header at byte " + std::to_string(header) + "\n"; }
// The second header, after a first member holding Object() of a one-letter
// symbol.
const uint64_t kSecond = 8 + 60 + Object("a").size();

const Row kCatalogue[] = {
    {"short names", [] { return ArBuilder().Add("a.o", Object("a")).Add("b.obj", Object("b")).Add("UTIL.O", Object("u")).Build(); },
     0, "", {"a.o", "b.obj", "UTIL.O"}},
    {"members that are not objects are skipped",
     [] {
       return ArBuilder().Add("notes.txt", Text("hi")).Add("util.c", Text("int x;")).Add(".o", Text("dot first"))
           .Add("util.", Text("no suffix")).Add("README", Text("readme")).Add("x.o", Object("x")).Build();
     },
     0, "", {"x.o"}},
    {"symbol index, long-name table and a long name",
     [] { return ArBuilder().AddSymbolIndex().Add("very_long_object_name.o", Object("v")).Add("s.o", Object("s")).Build(); }, 0,
     "", {"very_long_object_name.o", "s.o"}},
    {"symbol index padded with zero bytes",
     [] { return ArBuilder().AddRaw(Raw(std::string("/\0\0\0", 4), Bytes(4, 0))).Add("a.o", Object("a")).Build(); }, 0, "", {"a.o"}},
    {"long-name reference before the table is skipped",
     [] {
       return ArBuilder().AddRaw(Raw("/0", Object("early"))).AddRaw(Raw("//", Text("early_long_name.o/\n")))
           .AddRaw(Raw("/0", Object("late"))).Build();
     },
     0, "", {"early_long_name.o"}},
    {"long-name references outside the table or to an empty name are skipped",
     [] {
       return ArBuilder().AddRaw(Raw("//", Text("abc.o/\n"))).AddRaw(Raw("/7", Object("at_end"))).AddRaw(Raw("/8", Object("past")))
           .AddRaw(Raw("/-1", Object("negative"))).AddRaw(Raw("/5", Object("empty"))).AddRaw(Raw("/0", Object("good"))).Build();
     },
     0, "", {"abc.o"}},
    {"long name ending at the end of the table",
     [] { return ArBuilder().AddRaw(Raw("//", Text("xx/\nlast.o"))).AddRaw(Raw("/4", Object("l"))).Build(); }, 0, "", {"last.o"}},
    {"odd sizes are padded to the next header",
     [] { return ArBuilder().Add("odd.o", Object("o", true)).Add("notes", Text("abc")).Add("next.o", Object("n")).Build(); }, 0,
     "", {"odd.o", "next.o"}},
    {"odd last member without padding ends the walk",
     [] { return ArBuilder().Add("a.o", Object("a")).AddRaw(Unpadded(Raw("last.o/", Object("l", true)))).Build(); }, 0, "",
     {"a.o", "last.o"}},
    {"trailing bytes after the last member are ignored", [] { return With(ArBuilder().Add("a.o", Object("a")).Build(), 59, 'z'); },
     0, "", {"a.o"}},
    {"file too small", [] { return With(Text("!<arch>\n"), 59, ' '); }, -1, kTooSmall, {}},
    {"damaged fmag in the first header", [] { return ArBuilder().AddRaw(Magic(Raw("a.o/", Object("a")), "`x")).Build(); }, -1,
     kBadFormat + Note(8), {}},
    {"damaged fmag in a later header",
     [] { return ArBuilder().Add("a.o", Object("a")).AddRaw(Magic(Raw("b.o/", Object("b")), "\n`")).Build(); }, -1,
     kBadFormat + Note(kSecond), {"a.o"}},
    {"size 0, even for the symbol index",
     [] { return ArBuilder().AddRaw(WithSize(Raw("/", {}), "0")).Add("a.o", Object("a")).Build(); }, -4,
     kZeroSize + Note(8), {}},
    {"size field without digits reads as 0",
     [] { return ArBuilder().Add("a.o", Object("a")).AddRaw(WithSize(Raw("b.o/", Object("b")), "abc")).Build(); }, -4,
     kZeroSize + Note(kSecond), {"a.o"}},
    {"size past the end of the file",
     [] { return ArBuilder().Add("a.o", Object("a")).AddRaw(WithSize(Raw("b.o/", Object("b")), "999999")).Build(); }, -1,
     kPastEnd + Note(kSecond), {"a.o"}},
    {"size past the end on a member that is not an object",
     [] { return ArBuilder().AddRaw(WithSize(Raw("//", Text("abc/\n")), "7")).Build(); }, -1,
     kPastEnd + Note(8), {}},
    {"negative size", [] { return ArBuilder().AddRaw(WithSize(Raw("b.o/", Object("b")), "-300")).Build(); }, -1, kBadSize + Note(8), {}},
    {"size with trailing garbage", [] { return ArBuilder().AddRaw(WithSize(Raw("b.o/", Object("b")), "3x0")).Build(); }, -1,
     kBadSize + Note(8), {}},
    {"member that is not a valid object stops the walk",
     [] { return ArBuilder().Add("good.o", Object("g")).Add("bad.o", Bytes(300, 'x')).Add("late.o", Object("l")).Build(); },
     AsStatus(0xBAD00019u), "*** Error 0xBAD00019 parsing ELF file \"bad.o\"\n" + Note(kSecond), {"good.o"}},
    {"object through a long name that is not relocatable",
     [] {
       Bytes executable = Object("x");
       executable[16] = 2;  // ET_EXEC
       return ArBuilder().AddSymbolIndex().Add("a_long_executable_name.o", executable).Build();
     },
     -1, "*** Error Object file \"a_long_executable_name.o\" is not relocatable. return -1.\n" + Note(8 + 60 + 4 + 60 + 26),
     {}},
};

TEST(ReadArchive, Catalogue) {
  for (const Row& row : kCatalogue) {
    ArchiveResult r = ReadBytes(row.archive());
    EXPECT_EQ(r.status, row.status) << row.what;
    std::string message = row.message;
    for (size_t at = message.find("%s"); at != std::string::npos; at = message.find("%s", at + r.path.size()))
      message.replace(at, 2, r.path);
    EXPECT_EQ(r.console, message) << row.what;
    EXPECT_EQ(r.names, row.names) << row.what;
  }
}

TEST(ReadArchive, ReadsAGnuArchiveInMemberOrder) {
  TempDir dir;
  const std::vector<std::string> modules = {"first_module_with_long_name", "s", "another_long_module_name", "mid"};
  std::string members;
  for (const std::string& m : modules) {
    if (!elftest::CompileM32(dir, m, elftest::SampleSource(m), m + ".o", "-O1")) GTEST_SKIP() << elftest::kGccSkipReason;
    members += " '" + m + ".o'";
  }
  std::string command = "cd '" + dir.path() + "' && ar rcs lib.a" + members + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "GNU ar failed";
  Bytes archive = ReadFile(dir.File("lib.a"));
  std::string text(archive.begin(), archive.end());
  ASSERT_EQ(text.compare(8, 16, "/               "), 0) << "expected a symbol index first";
  ASSERT_NE(text.find("//              "), std::string::npos) << "expected a long-name table";

  RunState run;
  std::string console;
  run.console = Sink{nullptr, &console};
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(run.mappings, dir.File("lib.a"), &file), 0);
  EXPECT_EQ(ReadArchive(run.inputs.registry, run.console, file), 0);
  EXPECT_EQ(console, "");
  std::vector<std::string> names;
  for (ObjectModule* m = run.inputs.registry.head; m; m = m->next) names.insert(names.begin(), m->name);
  std::vector<std::string> expected;
  for (const std::string& m : modules) expected.push_back(m + ".o");
  EXPECT_EQ(names, expected);
  EXPECT_EQ(run.inputs.registry.count, 4);
  EXPECT_EQ(file->reference_count.load(), 5);
  // Each module points at its member's data inside the archive's view.
  for (ObjectModule* m = run.inputs.registry.head; m; m = m->next) {
    EXPECT_GE(m->image, file->view + 68);
    EXPECT_LE(m->image + m->size, file->view + file->size);
    EXPECT_EQ(m->image[0], 0x7F);
  }
}

}  // namespace

// The member-header writer of the import library and of ax: every field at
// its offset, padded with spaces (a name cut) to its width, the mode octal,
// and the header read back as the member it describes.
TEST(ArMemberHeaderText, FieldsAtTheirWidthsAndReadBack) {
  const struct {
    ArMemberFields fields;
    std::string text;
  } cases[] = {
      {{"/", 0, 0, 0, 0, 10}, "/               0           0     0     0       10        `\n"},
      {{"sound.qdm.o/", 1700000000, 1000, 100, 0100666, 448},
       "sound.qdm.o/    1700000000  1000  100   100666  448       `\n"},
      {{"a_name_longer_than_sixteen/", 0, 0, 0, 0644, 4294967295u},
       "a_name_longer_th0           0     0     644     4294967295`\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(ArMemberHeaderText(c.fields), c.text) << c.fields.name;

  Bytes object = Object("f");
  std::string text = kArchiveMagic + ArMemberHeaderText({"f.o/", 0, 0, 0, 0100644, object.size()});
  Bytes archive(text.begin(), text.end());
  archive.insert(archive.end(), object.begin(), object.end());
  ArchiveResult r = ReadBytes(archive);
  EXPECT_EQ(r.status, kOk) << r.console;
  EXPECT_EQ(r.names, std::vector<std::string>{"f.o"});
}
