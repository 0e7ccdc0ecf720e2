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

// GCC's slim LTO output: sections named ".gnu.lto_*" and the global common
// __gnu_lto_slim. The marker is sought only in objects with such sections,
// and only a global one stops the run (under the command line's name when
// one is given); a fat object has the sections without the marker.
TEST(OpenObjectModule, SlimLtoObjectsAreRefusedBeforeRegistration) {
  const struct {
    const char* section;
    const char* marker;
    uint8_t binding;
    std::string_view named;
    const char* message;  // empty: registered
  } cases[] = {
      {".gnu.lto_.symtab.0", "__gnu_lto_slim", STB_GLOBAL, {},
       "***Error: \"abc.o\" holds only LTO bytecode (compiled with -flto without -ffat-lto-objects): give prepqdm "
       "objects with machine code (add -ffat-lto-objects, or run it on the output of ld -r -flto). Return -1.\n"},
      {".gnu.lto_main.0", "__gnu_lto_slim", STB_WEAK, "dir/abc.o",
       "***Error: \"dir/abc.o\" holds only LTO bytecode (compiled with -flto without -ffat-lto-objects): give "
       "prepqdm objects with machine code (add -ffat-lto-objects, or run it on the output of ld -r -flto). Return "
       "-1.\n"},
      {".gnu.lto_.symtab.0", "__gnu_lto_slim", 0 /* local */, {}, ""},
      {".gnu.lto_.symtab.0", "__gnu_lto_slimmer", STB_GLOBAL, {}, ""},
      {".gnu.lto_.symtab.0", "__gnu_lto_v1", STB_GLOBAL, {}, ""},
      {".gnu.lto", "__gnu_lto_slim", STB_GLOBAL, {}, ""},
      {".text.lto", "__gnu_lto_slim", STB_GLOBAL, {}, ""},
  };
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      ElfBuilder b(big);
      uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
      b.AddProgbits(c.section, 0, Bytes(16, 1));
      b.AddSymbol({c.marker, 1, 1, Info(c.binding, STT_OBJECT), 0, SHN_COMMON});
      b.AddGlobal("f", static_cast<uint16_t>(text), 0, 8);
      Bytes image = b.Build();
      RunState run;
      std::string console;
      run.console = Sink{nullptr, &console};
      MappedFile file;
      const Status status = OpenObjectModule(run.inputs.registry, run.console, &file, "abc.o", image.data(),
                                             uint32_t(image.size()), c.named);
      const bool refused = *c.message != 0;
      EXPECT_EQ(status, refused ? -1 : 0) << c.section << " " << c.marker;
      EXPECT_EQ(console, c.message) << c.section << " " << c.marker;
      EXPECT_EQ(run.inputs.registry.count, refused ? 0 : 1) << c.section << " " << c.marker;
    }
  }
}

// LLVM bitcode (raw, and in its wrapper) is no ELF object: the reader's
// refusal is followed by a note saying what it is.
TEST(OpenObjectModule, LlvmBitcodeGetsANoteAfterTheReadersRefusal) {
  const struct {
    Bytes magic;
    bool note;
  } cases[] = {
      {{'B', 'C', 0xC0, 0xDE}, true},
      {{0xDE, 0xC0, 0x17, 0x0B}, true},
      {{0x0B, 0x17, 0xC0, 0xDE}, false},
      {{'B', 'C', 0xC0, 0xDF}, false},
  };
  for (const auto& c : cases) {
    Bytes image = c.magic;
    image.resize(300, 0x35);
    RunState run;
    std::string console;
    run.console = Sink{nullptr, &console};
    MappedFile file;
    EXPECT_NE(OpenObjectModule(run.inputs.registry, run.console, &file, "c.o", image.data(), uint32_t(image.size())),
              0);
    const std::string note = "  note: c.o: LLVM bitcode (clang -flto): give prepqdm objects with machine code\n";
    EXPECT_EQ(console.size() > note.size() && console.compare(console.size() - note.size(), note.size(), note) == 0,
              c.note)
        << console;
    EXPECT_EQ(console.rfind("*** Error 0x", 0), 0u) << console;
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
