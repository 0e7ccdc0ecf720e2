// OpenObjectModule and RegisterMappedObject: the messages for objects that
// cannot be registered, and the registry and reference counts for those that
// can.
#include <gtest/gtest.h>

#include <functional>

#include "driver/run_state.h"
#include "elf/object_module.h"
#include "support/elf_builder.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using namespace testsupport;

namespace {

Bytes SmallObject(bool big = false) {
  ElfBuilder b(big);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
  b.AddGlobal("f", static_cast<uint16_t>(text), 0, 8);
  return b.Build();
}

struct Refused {
  const char* what;
  std::function<void(Bytes&)> damage;
  Status status;
  const char* message;
};

TEST(OpenObjectModule, RefusedObjectsPrintTheirMessageAndRegisterNothing) {
  const Refused cases[] = {
      {"parse failure", [](Bytes& i) { i[0] = 0; }, AsStatus(0xBAD00019u),
       "*** Error 0xBAD00019 parsing ELF file \"abc.o\"\n"},
      {"executable", [](Bytes& i) { PatchHeader(i, [](ElfHeader& h) { h.e_type = 2; }); }, -1,
       "*** Error Object file \"abc.o\" is not relocatable. return -1.\n"},
      {"shared object", [](Bytes& i) { PatchHeader(i, [](ElfHeader& h) { h.e_type = 3; }); }, -1,
       "*** Error Object file \"abc.o\" is not relocatable. return -1.\n"},
      {"no sections", [](Bytes& i) { PatchHeader(i, [](ElfHeader& h) { h.e_shnum = 0; h.e_shstrndx = 0; }); }, -1,
       "*** Error Object file \"abc.o\" has no sections. return -1.\n"},
  };
  for (bool big : {false, true}) {
    for (const Refused& c : cases) {
      RunState run;
      std::string console;
      run.console = Sink{nullptr, &console};
      Bytes image = SmallObject(big);
      c.damage(image);
      MappedFile file;
      // The name is a view into a longer buffer: only its length counts.
      std::string_view name("abc.oXYZ", 5);
      EXPECT_EQ(OpenObjectModule(run, &file, name, image.data(), static_cast<uint32_t>(image.size())), c.status) << c.what;
      EXPECT_EQ(console, c.message) << c.what;
      EXPECT_EQ(run.registry.count, 0);
      EXPECT_EQ(run.registry.head, nullptr);
      EXPECT_EQ(file.reference_count.load(), 1);
    }
  }
}

TEST(OpenObjectModule, RegistersNewestFirstWithOneReferenceEach) {
  RunState run;
  std::string console;
  run.console = Sink{nullptr, &console};
  Bytes first = SmallObject(false);
  Bytes second = SmallObject(true);
  MappedFile file;
  ASSERT_EQ(OpenObjectModule(run, &file, "first.o", first.data(), static_cast<uint32_t>(first.size())), 0);
  ASSERT_EQ(OpenObjectModule(run, &file, "second.o", second.data(), static_cast<uint32_t>(second.size())), 0);
  EXPECT_EQ(console, "");
  EXPECT_EQ(run.registry.count, 2);
  EXPECT_EQ(file.reference_count.load(), 3);
  ObjectModule* head = run.registry.head;
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->name, "second.o");
  EXPECT_EQ(head->image, second.data());
  EXPECT_EQ(head->size, second.size());
  EXPECT_EQ(head->file, &file);
  ASSERT_NE(head->next, nullptr);
  EXPECT_EQ(head->next->name, "first.o");
  EXPECT_EQ(head->next->next, nullptr);
  // The big-endian image was brought to host order.
  EXPECT_EQ(head->Image().Header().e_type, ET_REL);
}

TEST(RegisterMappedObject, NamesTheObjectAfterItsFileAndHandsOverTheReference) {
  TempDir dir;
  WriteFile(dir.File("foo.o"), SmallObject());
  Bytes broken = SmallObject();
  broken[1] = 'X';
  WriteFile(dir.File("bad.o"), broken);
  RunState run;
  std::string console;
  run.console = Sink{nullptr, &console};

  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(run.mappings, dir.File("foo.o"), &file), 0);
  ASSERT_EQ(RegisterMappedObject(run, file), 0);
  EXPECT_EQ(file->reference_count.load(), 1);  // now held by the module alone
  ASSERT_EQ(run.registry.count, 1);
  EXPECT_EQ(run.registry.head->name, "foo.o");

  MappedFile* bad = nullptr;
  ASSERT_EQ(MapFile(run.mappings, dir.File("bad.o"), &bad), 0);
  EXPECT_EQ(RegisterMappedObject(run, bad), AsStatus(0xBAD00019u));
  EXPECT_EQ(bad->reference_count.load(), 1);  // still the caller's
  EXPECT_EQ(console, "*** Error 0xBAD00019 parsing ELF file \"bad.o\"\n");
  EXPECT_EQ(run.registry.count, 1);
}

}  // namespace
