// Writes the generated part of the seed corpora: objects from the test-side
// ELF writer in both byte orders with the features every stage looks at
// (code, data, NOBITS, common and thread-local definitions, weak and local
// symbols, linkonce sections, static initializers, ".." names, ".export"
// sections with REL and RELA tables, import stubs, program headers,
// size-prefixed sections, extended section numbering), archives of them from the test-side `ar` writer,
// definition and exclude texts, and whole-run inputs. Real compiler objects
// named on the command line join the archives and the run inputs.
//
//   make_fuzz_seeds <corpus folder> [real objects...]
#include <cstdio>
#include <string>
#include <vector>

#include "elf/elf_format.h"
#include "support/ar_builder.h"
#include "support/elf_builder.h"
#include "support/temp_dir.h"

namespace {

using namespace prepqdm;
using testsupport::ArBuilder;
using testsupport::Bytes;
using testsupport::ElfBuilder;
using testsupport::Info;
using testsupport::RelocDesc;
using testsupport::SectionDesc;

constexpr char kSeparator[] = "PQDMPART";

// An object with a bit of everything; `rela` picks the relocation flavour.
Bytes FullObject(bool big, uint16_t machine, bool rela, const std::string& prefix) {
  ElfBuilder b(big, machine);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(32, 0x60));
  uint32_t data = b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  uint32_t bss = b.AddNobits(".bss", SHF_ALLOC | SHF_WRITE, 16);
  uint32_t tbss = b.AddNobits(".tbss", SHF_ALLOC | SHF_WRITE | SHF_TLS_PLATFORM, 8);
  uint32_t linkonce = b.AddProgbits(".gnu.linkonce.t.inl", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0x60));
  uint32_t exports = b.AddProgbits(".export", SHF_ALLOC | SHF_WRITE, Bytes(16, 0));
  b.AddSymbol({"", 0, 0, Info(0, STT_SECTION), 0, static_cast<uint16_t>(text)});
  b.AddSymbol({prefix + "_local", 0, 4, Info(0, STT_FUNC), 0, static_cast<uint16_t>(text)});
  uint32_t f = b.AddGlobal(prefix + "_func", static_cast<uint16_t>(text), 0, 8, STT_FUNC);
  uint32_t v = b.AddGlobal(prefix + "_var", static_cast<uint16_t>(data), 0, 4, STT_OBJECT);
  uint32_t z = b.AddGlobal(prefix + "_zero", static_cast<uint16_t>(bss), 0, 16, STT_OBJECT);
  uint32_t t = b.AddGlobal(prefix + "_tls", static_cast<uint16_t>(tbss), 0, 4, STT_TLS);
  b.AddGlobal(prefix + "_weak", static_cast<uint16_t>(text), 8, 4, STT_FUNC, STB_WEAK);
  b.AddGlobal(prefix + "_common", SHN_COMMON, 4, 8, STT_OBJECT);
  b.AddGlobal(prefix + "_tls_common", SHN_TLS_COMMON, 4, 8, STT_TLS);
  b.AddGlobal("__sti__" + prefix, static_cast<uint16_t>(text), 16, 4, STT_FUNC);
  b.AddGlobal(prefix + "..dots", static_cast<uint16_t>(text), 20, 4, STT_FUNC);
  b.AddGlobal(prefix + "_inline", static_cast<uint16_t>(linkonce), 0, 8, STT_FUNC);
  b.AddGlobal(prefix + "_undefined", SHN_UNDEF, 0, 0, 0);
  b.AddGlobal(prefix + "_abs", SHN_ABS, 0x1000, 0, STT_OBJECT);
  b.AddRelocations(exports, rela, {{0, f, 1}, {4, v, 1}, {8, z, 1}, {12, t, 1}});
  b.AddRelocations(text, rela, {{0, v, 1}, {4, f, 1}});
  return b.Build();
}

Bytes StubObject(bool big) {
  ElfBuilder b(big, EM_PPC);
  SectionDesc imports;
  imports.name = ".fimport_mod";
  imports.type = SHT_QDM_IMPORTS;
  imports.flags = SHF_ALLOC | SHF_EXECINSTR;
  imports.data = Bytes{0, 0, 0, 1, 0, 0, 0, 0, 'm', 'o', 'd', 0, 0, 0, 0, 0};
  uint32_t index = b.AddSection(imports);
  b.AddGlobal("imported", static_cast<uint16_t>(index), 8, 0, STT_FUNC);
  return b.Build();
}

Bytes ProgramHeaderObject() {
  ElfBuilder b(false, 3);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0x90));
  b.AddGlobal("with_phdr", static_cast<uint16_t>(text), 0, 4, STT_FUNC);
  ProgramHeader p{};
  p.p_type = 1;
  p.p_offset = 0;
  p.p_filesz = 52;
  b.AddProgramHeader(p);
  b.Header().e_phentsize = kProgramHeaderSize;
  return b.Build();
}

Bytes SizePrefixedObject(bool big) {
  ElfBuilder b(big, EM_PPC);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0x60));
  SectionDesc prefixed;
  prefixed.name = ".prefixed";
  prefixed.flags = SHF_SIZE_PREFIXED;
  prefixed.data = big ? Bytes{0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8} : Bytes{8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  b.AddSection(prefixed);
  b.AddGlobal("prefixed_func", static_cast<uint16_t>(text), 0, 4, STT_FUNC);
  return b.Build();
}

// The same definitions as FullObject(prefix "a") but a different weak one, so
// a pair of them exercises resolution.
Bytes Replacement(bool big) {
  ElfBuilder b(big, big ? EM_PPC : 3);
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(32, 0x61));
  b.AddGlobal("a_weak", static_cast<uint16_t>(text), 0, 4, STT_FUNC);
  b.AddGlobal("a_func", static_cast<uint16_t>(text), 0, 8, STT_FUNC, STB_WEAK);
  return b.Build();
}

// Extended section numbering: e_shnum 0 and e_shstrndx SHN_XINDEX with the
// real values in section 0, and symbols whose st_shndx is SHN_XINDEX beside
// reserved ones, an in-code export among them.
Bytes ExtendedObject(bool big) {
  ElfBuilder b(big, big ? EM_PPC : 3);
  b.UseExtendedNumbering();
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0x60));
  uint32_t data = b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes{1, 2, 3, 4});
  uint32_t note = b.AddProgbits(".note.x", 0, Bytes(4, 0));
  uint32_t exports = b.AddProgbits(".export", SHF_ALLOC | SHF_WRITE, Bytes(8, 0));
  uint32_t f = b.AddSymbol({"x_func", 0, 8, Info(STB_GLOBAL, STT_FUNC), 0, SHN_XINDEX, text});
  uint32_t v = b.AddSymbol({"x_var", 0, 4, Info(STB_GLOBAL, STT_OBJECT), 0, SHN_XINDEX, data});
  b.AddSymbol({"x_noalloc", 0, 4, Info(STB_GLOBAL, STT_OBJECT), 0, SHN_XINDEX, note});
  b.AddGlobal("x_plain", static_cast<uint16_t>(text), 8, 4, STT_FUNC);
  b.AddGlobal("x_common", SHN_COMMON, 4, 8, STT_OBJECT);
  b.AddGlobal("x_abs", SHN_ABS, 0x1000, 0, STT_OBJECT);
  b.AddRelocations(exports, big, {{0, f, 1}, {4, v, 1}});
  return b.Build();
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

void Write(const std::string& path, const std::string& bytes) {
  testsupport::WriteFile(path, bytes);
  printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: make_fuzz_seeds <corpus folder> [real objects...]\n");
    return 2;
  }
  const std::string out = argv[1];
  std::vector<std::pair<std::string, Bytes>> objects = {
      {"le_rel", FullObject(false, 3, false, "a")},
      {"be_rela", FullObject(true, EM_PPC, true, "b")},
      {"le_rela_ppc", FullObject(false, EM_PPC, true, "c")},
      {"be_stub", StubObject(true)},
      {"le_phdr", ProgramHeaderObject()},
      {"be_prefixed", SizePrefixedObject(true)},
      {"le_replacement", Replacement(false)},
      {"le_extended", ExtendedObject(false)},
      {"be_extended", ExtendedObject(true)},
  };
  std::vector<std::pair<std::string, Bytes>> real;
  for (int i = 2; i < argc; ++i) {
    std::string path = argv[i];
    std::string name = path.substr(path.find_last_of('/') + 1);
    real.push_back({name, testsupport::ReadFile(path)});
  }

  // Objects; byte 15 (e_ident padding) picks the harness options.
  for (const auto& [name, bytes] : objects) {
    Write(out + "/object/" + name + ".o", Text(bytes));
    Bytes all = bytes;
    all[15] = 0x0F;  // -xall, -v, -warnsti, -warnlinkonce
    Write(out + "/object/" + name + "_xall.o", Text(all));
  }

  // Archives.
  ArBuilder plain;
  plain.AddSymbolIndex().Add("a.o", objects[0].second).Add("b.o", objects[1].second);
  ArBuilder long_names;
  long_names.Add("a_rather_long_member_name.o", objects[0].second)
      .Add("readme.txt", Bytes{'h', 'i', '\n'})
      .Add("another_long_member_name.obj", objects[2].second)
      .Add("a.o", objects[0].second)
      .Add("odd.dat", Bytes(261, 0));
  ArBuilder mixed;
  mixed.AddSymbolIndex().Add("stub.o", objects[3].second).Add("phdr.o", objects[4].second).Add("pre.o", objects[5].second);
  std::vector<std::pair<std::string, Bytes>> archives = {
      {"plain", plain.Build()}, {"long_names", long_names.Build()}, {"mixed", mixed.Build()}};
  if (!real.empty()) {
    ArBuilder with_real;
    for (const auto& [name, bytes] : real) with_real.Add(name, bytes);
    archives.push_back({"real", with_real.Build()});
  }
  for (const auto& [name, bytes] : archives) Write(out + "/archive/" + name + ".a", Text(bytes));

  // Definition and exclude texts.
  const std::string def =
      "; exports of the module\r\n[CODE]\r\n  a_func  ; trailing comment\r\n__sti__a\r\n\r\n[DATA]\r\na_var\r\n"
      "a..dots # refused\r\n[TLS]\r\na_tls\r\n";
  const std::string exclude = "[DATA]\na_var\n[CODE]\nnot listed\n";
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"def_and_exclude", def + kSeparator + exclude},
      {"def_lf", "[CODE]\nf1\nf2 with blanks\t\n#comment\n[DATA]\nd1\n[TLS]\nt1\n"},
      {"unknown_directive", "[CODE]\nf\n[BOGUS]\ng\n"},
      {"code_and_data", "[CODE]\nx\n[DATA]\nx\n"},
      {"no_directive", "lonely\nname\r"},
      {"response", "-o out.o \"quoted name\" -x\texports.def\r\n@nested \"a\"\"b\" \"\"\n"},
  };
  for (const auto& [name, text] : texts) Write(out + "/text/" + name, text);

  // Whole runs: option byte, def, exclude, inputs.
  auto run = [&](uint8_t flags, const std::string& def_text, const std::string& exclude_text,
                 const std::vector<Bytes>& inputs) {
    std::string seed(1, static_cast<char>(flags));
    seed += def_text + kSeparator + exclude_text;
    for (const Bytes& input : inputs) seed += kSeparator + Text(input);
    return seed;
  };
  const std::string run_def = "[CODE]\na_func\nc_func\n[DATA]\na_var\nc_zero\n[TLS]\na_tls\n";
  std::vector<std::pair<std::string, std::string>> runs = {
      {"def_exclude_lib", run(0x0B | 0x80, run_def, "[DATA]\nc_zero\n", {objects[0].second, objects[2].second})},
      {"xall_lib", run(0x0C | 0x10, "", "", {objects[0].second, archives[0].second})},
      {"in_code_be", run(0x08, "", "", {objects[1].second})},
      {"def_only", run(0x09 | 0x20, "[CODE]\nf\n__sti__g\n[DATA]\nd\n[TLS]\nt\n", "", {})},
      {"archive_long_names", run(0x04 | 0x40, "", "", {archives[1].second, objects[6].second})},
      {"extended", run(0x04 | 0x10, "", "", {objects[7].second, objects[8].second})},
  };
  for (const auto& [name, bytes] : real) runs.push_back({"real_" + name, run(0x0C, "", "", {bytes})});
  if (real.size() >= 2) runs.push_back({"real_archive", run(0x08, "", "", {archives.back().second})});
  for (const auto& [name, text] : runs) Write(out + "/run/" + name, text);
  return 0;
}
