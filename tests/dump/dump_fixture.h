// Inputs for the inspector tests: a module object built with ElfBuilder in
// either byte order, and prepqdm itself (in-process) turning it into an
// export object and an import library, so the files inspected are the ones
// prepqdm really writes.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "elf/elf_format.h"
#include "output/crc32.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

namespace dumptest {

using testsupport::Bytes;

// kind: 'c' code, 'd' data, 't' thread-local data.
struct Symbol {
  std::string name;
  char kind;
};

inline Bytes ModuleObject(bool big_endian, const std::vector<Symbol>& symbols) {
  using namespace prepqdm;
  testsupport::ElfBuilder b(big_endian, big_endian ? EM_PPC : 3);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(256, 0x60));
  uint32_t data = b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(256, 1));
  uint32_t tdata = b.AddProgbits(".tdata", SHF_ALLOC | SHF_WRITE | SHF_TLS_PLATFORM, Bytes(256, 2));
  uint32_t value = 0;
  for (const Symbol& s : symbols) {
    uint16_t section = static_cast<uint16_t>(s.kind == 'c' ? text : s.kind == 'd' ? data : tdata);
    b.AddGlobal(s.name, section, value, 4, s.kind == 'c' ? STT_FUNC : STT_OBJECT);
    value += 4;
  }
  return b.Build();
}

// Runs prepqdm on one module object exporting `symbols` (in definition-file
// order) and writes dir/exports.o and dir/lib.a for module out/Foo.qdm.
inline void WriteOutputs(const testsupport::TempDir& dir, bool big_endian, const std::vector<Symbol>& symbols,
                         bool bare = false) {
  testsupport::WriteFile(dir.File("m.o"), ModuleObject(big_endian, symbols));
  std::string def = "; exports\n";
  for (const Symbol& s : symbols) def += std::string(s.kind == 'c' ? "[CODE]\n" : "[DATA]\n") + s.name + "\n";
  testsupport::WriteFile(dir.File("m.def"), def);
  std::vector<std::string> args = {"-o", dir.File("exports.o"), "-x", dir.File("m.def"), "-l", dir.File("lib.a"),
                                   "-r", "out/Foo.qdm", dir.File("m.o")};
  if (bare) args.insert(args.begin(), "-noar");
  std::string ax = AX_BINARY;
  setenv("TOOLCHAIN_ROOT", ax.substr(0, ax.rfind('/')).c_str(), 1);
  testsupport::InProcessResult r = testsupport::RunInProcess(args);
  unsetenv("TOOLCHAIN_ROOT");
  ASSERT_EQ(r.status, 0) << r.console;
}

// The import library of a module that exports nothing, as a bare stub
// (little-endian): null, .symtab with the null symbol alone, .strtab and
// .secstrtab; the sections at 64, 128 and 192, the headers at 256.
inline Bytes EmptyStub() {
  Bytes f(416, 0);
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::copy(std::begin(ident), std::end(ident), f.begin());
  const std::string names(".symtab\0.strtab\0.secstrtab", 27);
  std::copy(names.begin(), names.end(), f.begin() + 193);
  auto put16 = [&f](size_t at, uint16_t value) {
    f[at] = static_cast<uint8_t>(value);
    f[at + 1] = static_cast<uint8_t>(value >> 8);
  };
  put16(16, 1);  // ET_REL
  put16(18, 3);
  testsupport::Put32(f, 20, 1, false);
  testsupport::Put32(f, 32, 256, false);
  put16(40, 52);
  put16(46, 40);
  put16(48, 4);
  put16(50, 3);
  // sh_name, sh_type, sh_offset, sh_size, sh_link and sh_entsize of sections 1 to 3.
  constexpr size_t kFields[6] = {0, 4, 16, 20, 24, 36};
  const uint32_t sections[3][6] = {{1, 2, 64, 16, 2, 16}, {9, 3, 128, 1, 0, 0}, {17, 3, 192, 28, 0, 0}};
  for (size_t i = 0; i < 3; ++i)
    for (size_t k = 0; k < 6; ++k) testsupport::Put32(f, 256 + 40 * (i + 1) + kFields[k], sections[i][k], false);
  return f;
}

// The CRC an export table stores for these names (in table order).
inline uint32_t NamesCrc(const std::vector<std::string>& names) {
  Bytes area;
  for (const std::string& n : names) {
    area.insert(area.end(), n.begin(), n.end());
    area.push_back(0);
  }
  area.resize(area.size() + 14, 0);
  return prepqdm::Crc32(0, area.data(), area.size());
}

}  // namespace dumptest
