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

TEST(OpenObjectModule, RefusedObjectsPrintTheirMessageAndRegisterNothing) {
  const struct {
    std::function<void(ElfHeader&)> edit;
    Status status;
    const char* message;
  } cases[] = {
      {[](ElfHeader& h) { h.e_machine = 0; }, AsStatus(0xBAD0001Cu), "*** Error 0xBAD0001C parsing ELF file \"abc.o\"\n"},
      {[](ElfHeader& h) { h.e_type = 2; }, -1, "*** Error Object file \"abc.o\" is not relocatable. return -1.\n"},
      {[](ElfHeader& h) { h.e_shnum = h.e_shstrndx = 0; }, -1, "*** Error Object file \"abc.o\" has no sections. return -1.\n"},
  };
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      RunState run;
      std::string console;
      run.console = Sink{nullptr, &console};
      Bytes image = SmallObject(big);
      PatchHeader(image, c.edit);
      MappedFile file;
      // The name is a view into a longer buffer: only its length counts.
      EXPECT_EQ(OpenObjectModule(run.inputs.registry, run.console, &file, std::string_view("abc.oXYZ", 5), image.data(), uint32_t(image.size())), c.status);
      EXPECT_EQ(console, c.message);
      EXPECT_EQ(run.inputs.registry.count, 0);
      EXPECT_EQ(run.inputs.registry.head, nullptr);
      EXPECT_EQ(file.reference_count.load(), 1);
    }
  }
}

TEST(RegisterMappedObject, RegistersNewestFirstAndHandsOverTheReference) {
  TempDir dir;
  WriteFile(dir.File("foo.o"), SmallObject(false));
  WriteFile(dir.File("bar.o"), SmallObject(true));
  WriteFile(dir.File("bad.o"), Bytes(300, 0));
  RunState run;
  std::string console;
  run.console = Sink{nullptr, &console};
  MappedFile* files[3] = {};
  const char* names[3] = {"foo.o", "bar.o", "bad.o"};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(MapFile(run.mappings, dir.File(names[i]), &files[i]), 0);

  ASSERT_EQ(RegisterMappedObject(run.inputs.registry, run.console, files[0]), 0);
  ASSERT_EQ(RegisterMappedObject(run.inputs.registry, run.console, files[1]), 0);
  EXPECT_EQ(RegisterMappedObject(run.inputs.registry, run.console, files[2]), AsStatus(0xBAD00019u));
  EXPECT_EQ(console, "*** Error 0xBAD00019 parsing ELF file \"bad.o\"\n");
  // Registered files are held by their module alone; the refused one is still the caller's.
  for (MappedFile* file : files) EXPECT_EQ(file->reference_count.load(), 1);
  EXPECT_EQ(run.inputs.registry.count, 2);
  ObjectModule* head = run.inputs.registry.head;
  ASSERT_TRUE(head && head->next);
  EXPECT_EQ(head->name, "bar.o");
  EXPECT_EQ(head->file, files[1]);
  EXPECT_EQ(head->image, files[1]->view);
  EXPECT_EQ(head->size, files[1]->size);
  EXPECT_EQ(head->Image().Header().e_type, ET_REL);  // the big-endian view is in host order now
  EXPECT_EQ(head->next->name, "foo.o");
  EXPECT_EQ(head->next->next, nullptr);
}

}  // namespace
