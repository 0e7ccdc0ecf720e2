// Support for the interop suite: the two real toolchains (gcc -m32 with GNU
// ld for little-endian i386, powerpc-linux-gnu-gcc/ld for big-endian PPC),
// running them in a test's temporary directory, and reading linked images
// and objects back through readelf rather than through our own readers, so
// that every fact checked is what the GNU tools see.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_support.h"
#include "support/temp_dir.h"

namespace interop {

using testsupport::ProcessResult;

inline std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Runs `program` (looked up on PATH) in `cwd`; a missing program gives exit
// code 127 and a message in `err`.
inline ProcessResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env = {}) {
  std::string path = FindOnPath(program);
  if (path.empty()) return ProcessResult{127, "", program + ": not found on PATH"};
  return testsupport::RunProgram(path, args, cwd, env);
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::stringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The lines of `text` that are not in `accepted`.
inline std::vector<std::string> Unexpected(const std::string& text, const std::vector<std::string>& accepted) {
  std::vector<std::string> rest;
  for (const std::string& line : Lines(text)) {
    bool known = false;
    for (const std::string& ok : accepted) known = known || line == ok;
    if (!known) rest.push_back(line);
  }
  return rest;
}

struct Toolchain {
  std::string name;
  std::string cc;
  std::vector<std::string> cc_flags;
  std::string ld;
  std::vector<std::string> ld_flags;  // the GNU-stack note is absent from generated objects: say so up front
  std::string objdump;
  bool big_endian;
  std::string abs32;  // readelf's name for relocation type 1
  std::string cxx;    // the C++ compiler
  std::vector<std::string> target_flags;  // what selects the target, and nothing else (the compiler's defaults)
};

inline void PrintTo(const Toolchain& tc, std::ostream* os) { *os << tc.name; }

inline const Toolchain kI386{"i386",    "gcc",       {"-m32", "-O1", "-fno-pic"}, "ld", {"-m", "elf_i386", "-z", "noexecstack"},
                             "objdump", false,       "R_386_32", "g++", {"-m32"}};
inline const Toolchain kPpc{"ppc",
                            "powerpc-linux-gnu-gcc",
                            {"-O1"},
                            "powerpc-linux-gnu-ld",
                            {"-z", "noexecstack"},
                            "powerpc-linux-gnu-objdump",
                            true,
                            "R_PPC_ADDR32",
                            "powerpc-linux-gnu-g++",
                            {}};

// Why `tc` cannot run here, or "" when it can (its compiler is tried once).
inline std::string MissingReason(const Toolchain& tc) {
  for (const std::string& tool : {tc.cc, tc.ld, tc.objdump, std::string("readelf"), std::string("nm"),
                                  std::string("ar"), std::string("eu-elflint")})
    if (FindOnPath(tool).empty())
      return tool + " is not on PATH (packages: gcc-multilib/binutils for i386, gcc-powerpc-linux-gnu and "
                    "binutils-powerpc-linux-gnu for PPC, elfutils for eu-elflint)";
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.File("probe.c"), "int probe(void) { return 1; }\n");
  std::vector<std::string> args = tc.cc_flags;
  for (const char* more : {"-c", "probe.c", "-o", "probe.o"}) args.push_back(more);
  ProcessResult probe = Run(tc.cc, args, dir.path());
  if (probe.exit_code != 0) return tc.cc + " cannot compile for " + tc.name + ": " + probe.err;
  return "";
}

// Reads a 32-bit word in either byte order.
inline uint32_t Word(const std::vector<uint8_t>& bytes, uint64_t at, bool big_endian) {
  if (at + 4 > bytes.size()) return 0xDEADBEEF;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{bytes[at + (big_endian ? 3 - i : i)]} << (8 * i);
  return v;
}

inline void PutWord(std::vector<uint8_t>& bytes, uint64_t at, uint32_t value, bool big_endian) {
  for (int i = 0; i < 4; ++i) bytes[at + (big_endian ? 3 - i : i)] = static_cast<uint8_t>(value >> (8 * i));
}

struct Section {
  int index = 0;
  std::string type;
  uint32_t addr = 0, offset = 0, size = 0;
};

struct Symbol {
  uint32_t value = 0;
  std::string type, bind, ndx, vis;
};

struct Relocation {
  uint32_t offset = 0;
  std::string type, symbol;
};

// An ELF file as readelf shows it (sections, symbols, relocations), with its
// bytes for reading words at addresses.
struct ReadBack {
  std::vector<uint8_t> bytes;
  bool big_endian = false;
  std::map<std::string, Section> sections;
  std::map<std::string, Symbol> symbols;                          // global and weak ones
  std::map<std::string, std::vector<Relocation>> relocations;  // by relocation section name
  std::set<std::string> comdat_members;                         // indices of the sections of COMDAT groups
  std::string error;                                            // readelf's complaint, if any

  uint32_t WordAt(uint32_t addr) const {
    for (const auto& [name, s] : sections)
      if (s.type != "NOBITS" && s.addr != 0 && addr >= s.addr && addr - s.addr + 4 <= s.size)
        return Word(bytes, uint64_t{s.offset} + (addr - s.addr), big_endian);
    return 0xDEADBEEF;
  }
  std::string StringAt(uint32_t addr) const {
    std::string text;
    for (const auto& [name, s] : sections)
      if (s.type != "NOBITS" && s.addr != 0 && addr >= s.addr && addr < s.addr + s.size)
        for (uint64_t at = uint64_t{s.offset} + (addr - s.addr); at < bytes.size() && bytes[at]; ++at)
          text += static_cast<char>(bytes[at]);
    return text;
  }
};

inline uint32_t Hex(const std::string& text) { return static_cast<uint32_t>(std::stoul(text, nullptr, 16)); }

inline ReadBack ReadElf(const std::string& path, bool big_endian) {
  ReadBack rb;
  rb.bytes = testsupport::ReadFile(path);
  rb.big_endian = big_endian;
  std::string dir = path.substr(0, path.rfind('/'));
  ProcessResult sec = Run("readelf", {"-S", "-W", path}, dir);
  ProcessResult sym = Run("readelf", {"-s", "-W", path}, dir);
  ProcessResult rel = Run("readelf", {"-r", "-W", path}, dir);
  ProcessResult groups = Run("readelf", {"-g", "-W", path}, dir);
  rb.error = sec.err + sym.err + rel.err + groups.err;
  for (std::string line : Lines(sec.out)) {
    // The one section type readelf names in more than one word.
    if (size_t at = line.find("SYMTAB SECTION INDICES"); at != std::string::npos) line.replace(at, 22, "SYMTAB_SHNDX");
    size_t open = line.find('['), close = line.find(']');
    if (open == std::string::npos || close == std::string::npos || line.find("Nr]") != std::string::npos) continue;
    std::vector<std::string> w = Words(line.substr(close + 1));
    if (w.size() < 5) continue;
    Section s;
    s.index = std::stoi(line.substr(open + 1, close - open - 1));
    s.type = w[1];
    s.addr = Hex(w[2]);
    s.offset = Hex(w[3]);
    s.size = Hex(w[4]);
    rb.sections[w[0]] = s;
  }
  for (const std::string& line : Lines(sym.out)) {
    std::vector<std::string> w = Words(line);
    if (w.size() != 8 || w[0].back() != ':' || (w[4] != "GLOBAL" && w[4] != "WEAK")) continue;
    rb.symbols[w[7]] = Symbol{Hex(w[1]), w[3], w[4], w[6], w[5]};
  }
  // "COMDAT group section [    1] `.group' [sig] contains 2 sections:", then
  // "   [Index]    Name" and one "   [    7]   .text.sig" line per member.
  bool comdat = false;
  for (const std::string& line : Lines(groups.out)) {
    if (line.find("group section [") != std::string::npos) comdat = line.rfind("COMDAT group section", 0) == 0;
    size_t open = line.find('['), close = line.find(']');
    if (!comdat || line.find("group section") != std::string::npos || open == std::string::npos ||
        close == std::string::npos || line.find("Index]") != std::string::npos)
      continue;
    std::vector<std::string> index = Words(line.substr(open + 1, close - open - 1));
    if (index.size() == 1) rb.comdat_members.insert(index[0]);
  }
  std::string current;
  for (const std::string& line : Lines(rel.out)) {
    if (line.rfind("Relocation section '", 0) == 0) {
      current = line.substr(20, line.find('\'', 20) - 20);
      continue;
    }
    std::vector<std::string> w = Words(line);
    if (current.empty() || w.size() < 5 || w[0] == "Offset") continue;
    rb.relocations[current].push_back(Relocation{Hex(w[0]), w[2], w[4]});
  }
  return rb;
}

// What -xall exports of `object` by readelf's view: every defined global that
// is not weak, not absolute, not in a linkonce section, not in a COMDAT
// group, not hidden or internal and not dot-named, in the code table exactly
// when the compiler typed it FUNC.
inline void ExportAllOf(const ReadBack& object, std::vector<std::string>& code, std::vector<std::string>& data) {
  std::map<std::string, std::string> section_of_index;
  for (const auto& [name, section] : object.sections) section_of_index[std::to_string(section.index)] = name;
  for (const auto& [name, symbol] : object.symbols) {
    if (symbol.bind != "GLOBAL" || symbol.ndx == "UND" || symbol.ndx == "ABS" || name[0] == '.') continue;
    if (section_of_index[symbol.ndx].rfind(".gnu.linkonce", 0) == 0) continue;
    if (symbol.vis == "HIDDEN" || symbol.vis == "INTERNAL" || object.comdat_members.count(symbol.ndx)) continue;
    (symbol.type == "FUNC" ? code : data).push_back(name);
  }
}

// One export table of a linked image, read at its label (qdm_fexports or
// qdm_dexports): each entry's name and its word 0.
struct TableEntry {
  std::string name;
  uint32_t word0 = 0;
  bool tls_bit = false;
};

inline std::vector<TableEntry> LinkedTable(const ReadBack& image, const std::string& label) {
  std::vector<TableEntry> entries;
  auto it = image.symbols.find(label);
  if (it == image.symbols.end()) return entries;
  uint32_t base = it->second.value;
  uint32_t count = image.WordAt(base);
  for (uint32_t i = 0; i < count && i < 10000; ++i) {
    uint32_t word1 = image.WordAt(base + 12 + 8 * i);
    entries.push_back(
        TableEntry{image.StringAt(base + (word1 & 0x7FFFFFFF)), image.WordAt(base + 8 + 8 * i), (word1 >> 31) != 0});
  }
  return entries;
}

// The same table read from the unlinked object: names by relocation.
inline std::vector<std::string> RelocatedNames(const ReadBack& object, const std::string& rela) {
  std::vector<std::string> names;
  auto it = object.relocations.find(rela);
  if (it != object.relocations.end())
    for (const Relocation& r : it->second) names.push_back(r.symbol);
  return names;
}

// A copy of the ELF object `from` at `to` whose ".symtab" has `sh_info` 1.
// The generated objects fix it at 0 and GNU ld 2.40 refuses that, so the
// links are proved on this one-word variant.
inline void CopyWithSymtabInfoOne(const std::string& from, const std::string& to, bool big_endian) {
  std::vector<uint8_t> bytes = testsupport::ReadFile(from);
  uint32_t shoff = Word(bytes, 32, big_endian);
  uint32_t shnum = big_endian ? (bytes[48] << 8 | bytes[49]) : (bytes[49] << 8 | bytes[48]);
  for (uint32_t i = 0; i < shnum; ++i) {
    uint64_t header = uint64_t{shoff} + 40 * i;
    if (header + 40 <= bytes.size() && Word(bytes, header + 4, big_endian) == 2) PutWord(bytes, header + 28, 1, big_endian);
  }
  testsupport::WriteFile(to, bytes);
}

// Each toolchain's test runs in its own temporary directory; the suite
// skips, saying why, when a toolchain is missing, unless
// PREPQDM_INTEROP_REQUIRED is set (CI), where that is a failure.
class InteropTest : public ::testing::TestWithParam<Toolchain> {
 protected:
  void SetUp() override {
    std::string reason = MissingReason(GetParam());
    if (reason.empty()) return;
    if (std::getenv("PREPQDM_INTEROP_REQUIRED")) FAIL() << "interop toolchain required but unusable: " << reason;
    GTEST_SKIP() << "interop test skipped: " << reason;
  }

  const Toolchain& tc() const { return GetParam(); }
  std::string File(const std::string& name) const { return dir_.File(name); }
  void Write(const std::string& name, const std::string& text) const { testsupport::WriteFile(File(name), text); }

  ProcessResult Tool(const std::string& program, const std::vector<std::string>& args) const {
    return interop::Run(program, args, dir_.path());
  }

  // Compiles name.c (written from `source`) into name.o.
  void Compile(const std::string& name, const std::string& source, const std::vector<std::string>& flags = {}) const {
    Write(name + ".c", source);
    std::vector<std::string> args = tc().cc_flags;
    args.insert(args.end(), flags.begin(), flags.end());
    for (const std::string& more : {std::string("-c"), name + ".c", std::string("-o"), name + ".o"}) args.push_back(more);
    ProcessResult r = Tool(tc().cc, args);
    ASSERT_EQ(r.exit_code, 0) << tc().cc << " " << name << ".c: " << r.err;
  }

  // Links `inputs` into `output` with `entry`; returns the linker's result.
  ProcessResult Link(const std::string& output, const std::string& entry, const std::vector<std::string>& inputs) const {
    std::vector<std::string> args = tc().ld_flags;
    for (const std::string& more : {std::string("-e"), entry, std::string("-o"), output}) args.push_back(more);
    args.insert(args.end(), inputs.begin(), inputs.end());
    return Tool(tc().ld, args);
  }

  // Runs prepqdm here, with the ax stand-in found through TOOLCHAIN_ROOT.
  ProcessResult Prepqdm(const std::vector<std::string>& args) const {
    std::string ax = AX_BINARY;
    return testsupport::RunBinary(args, dir_.path(), {"TOOLCHAIN_ROOT=" + ax.substr(0, ax.rfind('/'))});
  }

  // The test module: plain globals and statics, a weak default and a common
  // variable in mixer.o; the archive libparts.a (GNU ar rcs, member names
  // long enough for a "//" table) of two objects built with per-function and
  // per-datum sections, one declaring in-code exports, one holding a linkonce
  // function and weak data; a definition file and a response file.
  void BuildModuleInputs() const {
    Compile("mixer",
            "int mix_volume = 80;\n"
            "int mix_channels[8];\n"
            "int mix_shared __attribute__((common));\n"
            "static int mix_hidden;\n"
            "static int clamp(int v) { return v < 0 ? 0 : v > 100 ? 100 : v; }\n"
            "int mix_set(int v) { mix_hidden = v; mix_volume = clamp(v); return mix_volume; }\n"
            "int mix_get(void) { return mix_volume + mix_hidden + mix_channels[1] + mix_shared; }\n"
            "__attribute__((weak)) int mix_gain(void) { return 1; }\n"
            "int mix_entry(void) { return mix_set(mix_gain()) + mix_get(); }\n");
    const std::vector<std::string> sections = {"-ffunction-sections", "-fdata-sections"};
    Compile(kCodec,
            "int codec_state = 3;\n"
            "int codec_buffer[64];\n"
            "const char codec_name[] = \"pcm\";\n"
            "int codec_decode(const unsigned char* in, int n) { return n > 0 ? in[0] + codec_buffer[0] : 0; }\n"
            "int codec_encode(unsigned char* out, int n) { if (n > 0) out[0] = (unsigned char)codec_state; return n; }\n"
            "void* const codec_exports[] __attribute__((section(\".export\"), used)) = {\n"
            "  (void*)codec_encode, (void*)&codec_state };\n",
            sections);
    Compile(kFilter,
            "int filter_apply(int x) { return x / 2; }\n"
            "__attribute__((section(\".gnu.linkonce.t.filter_fast\"))) int filter_fast(int x) { return x; }\n"
            "__attribute__((weak)) int filter_taps = 4;\n",
            sections);
    ProcessResult ar = Tool("ar", {"rcs", "libparts.a", kCodec + ".o", kFilter + ".o"});
    ASSERT_EQ(ar.exit_code, 0) << ar.err;
    std::vector<uint8_t> archive = testsupport::ReadFile(File("libparts.a"));
    ASSERT_NE(std::string(archive.begin(), archive.end()).find("//              "), std::string::npos)
        << "ar wrote no long-name table";
    Write("module.def",
          "; exports of the test module\n[CODE]\nmix_set\nmix_get   # a comment\nfilter_apply\n\n"
          "[DATA]\nmix_volume\nmix_channels\nmix_shared\ncodec_name\n");
    Write("module.rsp", "-x module.def -log module.log\nmixer.o libparts.a\n");
  }

  // What the module exports: the definition file's names and the two
  // in-code exports, each table in name order.
  static std::vector<std::string> CodeExports() { return {"codec_encode", "filter_apply", "mix_get", "mix_set"}; }
  static std::vector<std::string> DataExports() {
    return {"codec_name", "codec_state", "mix_channels", "mix_shared", "mix_volume"};
  }

  inline static const std::string kCodec = "codec_with_a_long_member_name";
  inline static const std::string kFilter = "filter_with_an_even_longer_member_name";

  testsupport::TempDir dir_;
};

inline std::string ToolchainName(const ::testing::TestParamInfo<Toolchain>& info) { return info.param.name; }

}  // namespace interop
