// Writes inputs of about 1 MiB that try to make the program work or allocate
// far out of proportion to their size: headers that claim more than the file
// holds, and tables whose entries share bytes (one long name named by every
// symbol, every export relocated against one long-named symbol, every archive
// member named through one long-name entry). The hardening script replays
// them through the harnesses under libFuzzer's time and memory limits.
//
//   make_fuzz_bounds_inputs <folder>   (writes <folder>/<harness>/<case>)
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kTarget = 1 << 20;  // every input stays below 1 MiB

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Append32(Bytes& b, uint32_t v) {
  b.resize(b.size() + 4);
  Put32(b, b.size() - 4, v);
}

struct Section {
  std::string name;
  uint32_t type = 1, flags = 0, link = 0, info = 0, entsize = 0;
  Bytes data;
  uint32_t nobits_size = 0;
  uint32_t name_offset = 0;  // set when not from `name`
  bool raw_name = false;
};

Section MakeSection(std::string name, uint32_t type, uint32_t flags = 0, uint32_t link = 0, uint32_t info = 0,
                    uint32_t entsize = 0) {
  Section s;
  s.name = std::move(name);
  s.type = type;
  s.flags = flags;
  s.link = link;
  s.info = info;
  s.entsize = entsize;
  return s;
}

// A little-endian ELF32 relocatable object: header, section contents, then
// the section header table; the section-name table is the last section.
Bytes Object(std::vector<Section> sections, uint8_t options = 0) {
  Bytes names(1, 0);
  for (Section& s : sections) {
    if (s.raw_name) continue;
    s.name_offset = static_cast<uint32_t>(names.size());
    names.insert(names.end(), s.name.begin(), s.name.end());
    names.push_back(0);
  }
  Section shstrtab;
  shstrtab.type = 3;
  shstrtab.name_offset = static_cast<uint32_t>(names.size());
  const char* label = ".shstrtab";
  names.insert(names.end(), label, label + strlen(label) + 1);
  shstrtab.data = names;
  shstrtab.raw_name = true;
  sections.push_back(shstrtab);

  Bytes out(52, 0);
  std::vector<uint32_t> offsets;
  for (const Section& s : sections) {
    while (out.size() % 4) out.push_back(0);
    offsets.push_back(static_cast<uint32_t>(out.size()));
    if (s.type != 8) out.insert(out.end(), s.data.begin(), s.data.end());
  }
  while (out.size() % 4) out.push_back(0);
  uint32_t shoff = static_cast<uint32_t>(out.size());
  out.resize(out.size() + 40 * (sections.size() + 1), 0);
  for (size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    size_t at = shoff + 40 * (i + 1);
    uint32_t size = s.type == 8 ? s.nobits_size : static_cast<uint32_t>(s.data.size());
    uint32_t fields[10] = {s.name_offset, s.type, s.flags, 0, offsets[i], size, s.link, s.info, 4, s.entsize};
    for (int k = 0; k < 10; ++k) Put32(out, at + 4 * k, fields[k]);
  }
  const uint8_t ident[16] = {0x7F, 'E', 'L', 'F', 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, options};
  std::memcpy(out.data(), ident, 16);
  Put16(out, 16, 1);   // ET_REL
  Put16(out, 18, 20);  // EM_PPC
  Put32(out, 20, 1);
  Put32(out, 32, shoff);
  Put16(out, 40, 52);
  Put16(out, 46, 40);
  Put16(out, 48, static_cast<uint32_t>(sections.size() + 1));
  Put16(out, 50, static_cast<uint32_t>(sections.size()));
  return out;
}

Bytes Symbol(uint32_t name, uint32_t value, uint32_t size, uint8_t info, uint16_t shndx) {
  Bytes b(16, 0);
  Put32(b, 0, name);
  Put32(b, 4, value);
  Put32(b, 8, size);
  b[12] = info;
  Put16(b, 14, shndx);
  return b;
}

// .text (1), .strtab (2), .symtab (3), then `extra` sections.
Bytes SymbolObject(const Bytes& strings, const std::vector<Bytes>& symbols, uint8_t options = 0,
                   uint32_t text_size = 16, std::vector<Section> extra = {}) {
  Section text = MakeSection(".text", 1, 6);
  text.data = Bytes(text_size, 0x60);
  Section strtab = MakeSection(".strtab", 3);
  strtab.data = strings;
  Section symtab = MakeSection(".symtab", 2, 0, 2, 1, 16);
  symtab.data = Symbol(0, 0, 0, 0, 0);
  for (const Bytes& s : symbols) symtab.data.insert(symtab.data.end(), s.begin(), s.end());
  std::vector<Section> sections = {text, strtab, symtab};
  sections.insert(sections.end(), extra.begin(), extra.end());
  return Object(sections, options);
}

constexpr uint8_t kGlobalFunc = 0x12;

// Every symbol names the same long string.
Bytes SameLongName(uint8_t options) {
  const size_t count = 32000, length = kTarget - 16 * count - 4096;
  Bytes strings(1, 0);
  strings.insert(strings.end(), length, 'n');
  strings.push_back(0);
  std::vector<Bytes> symbols(count, Symbol(1, 0, 0, kGlobalFunc, 1));
  return SymbolObject(strings, symbols, options);
}

// Every symbol names a different suffix of one long run: all names differ.
Bytes OverlappingNames(uint8_t options) {
  const size_t count = 32000, length = kTarget - 16 * count - 4096;
  Bytes strings(1, 0);
  strings.insert(strings.end(), length, 'n');
  strings.push_back(0);
  std::vector<Bytes> symbols;
  for (size_t i = 0; i < count; ++i) symbols.push_back(Symbol(static_cast<uint32_t>(1 + i), 0, 0, kGlobalFunc, 1));
  return SymbolObject(strings, symbols, options);
}

// Every name runs to the end of a string table that has no final zero.
Bytes UnterminatedNames() {
  const size_t count = 32000, length = kTarget - 16 * count - 4096;
  Bytes strings(1, 0);
  strings.insert(strings.end(), length, 'u');
  std::vector<Bytes> symbols;
  for (size_t i = 0; i < count; ++i) symbols.push_back(Symbol(static_cast<uint32_t>(1 + i % 64), 0, 0, kGlobalFunc, 1));
  return SymbolObject(strings, symbols);
}

// Under -v, every duplicate definition of one name is compared with the one in
// force, each spanning a large section.
Bytes SameDefinitionCompared() {
  const size_t count = 32000, text = kTarget - 16 * count - 4096;
  Bytes strings = {0, 'x', 0};
  std::vector<Bytes> symbols(count, Symbol(1, 0, static_cast<uint32_t>(text), kGlobalFunc, 1));
  return SymbolObject(strings, symbols, 0x02, static_cast<uint32_t>(text));
}

// Thousands of sections, each with the same long name, each defining one
// symbol.
Bytes LongSectionNames() {
  const size_t count = 10000;
  const size_t length = kTarget - (40 + 16 + 4) * count - 4096;
  std::vector<Section> extra;
  Section first;
  first.name = std::string(length, '.');
  extra.push_back(first);  // section 4
  std::vector<Bytes> symbols;
  for (size_t i = 0; i < count; ++i) {
    Section s = MakeSection("", 1, 6);
    s.data = Bytes(4, 0);
    s.raw_name = true;
    s.name_offset = 1 + 6 + 8 + 8;  // after "\0.text\0.strtab\0.symtab\0": the long name
    extra.push_back(s);
    symbols.push_back(Symbol(1, 0, 0, kGlobalFunc, static_cast<uint16_t>(5 + i)));
  }
  return SymbolObject(Bytes{0, 's', 0}, symbols, 0, 16, extra);
}

// Every word of ".export" is relocated against the one long-named symbol.
Bytes InCodeExportsOfOneName() {
  const size_t exports = 40000;
  const size_t length = kTarget - 16 * exports - 4096;
  Bytes strings(1, 0);
  strings.insert(strings.end(), length, 'e');
  strings.push_back(0);
  std::vector<Bytes> symbols = {Symbol(1, 0, 0, kGlobalFunc, 1)};
  Section words = MakeSection(".export", 1, 3);
  words.data = Bytes(4 * exports, 0);
  Section relocations = MakeSection(".rela.export", 4, 0, 3, 4, 12);
  for (size_t i = 0; i < exports; ++i) {
    Append32(relocations.data, static_cast<uint32_t>(4 * i));
    Append32(relocations.data, (1u << 8) | 1);
    Append32(relocations.data, 0);
  }
  return SymbolObject(strings, symbols, 0, 16, {words, relocations});
}

// A header that claims 65,535 sections, and a symbol table that claims a
// billion symbols.
Bytes ClaimsTooMuch(bool sections) {
  Bytes strings = {0, 'a', 0};
  Bytes out = SymbolObject(strings, {Symbol(1, 0, 0, kGlobalFunc, 1)});
  out.resize(kTarget - 4096, 0);
  if (sections) {
    Put16(out, 48, 0xFFFF);
  } else {
    uint32_t shoff = out[32] | out[33] << 8 | out[34] << 16 | static_cast<uint32_t>(out[35]) << 24;
    Put32(out, shoff + 40 * 3 + 20, 1000000000u * 16u);  // sh_size of .symtab, wrapped in 32 bits
  }
  return out;
}

// As many sections as fit, all overlapping: the placement checks' worst case.
Bytes MaximumSections() {
  const size_t count = (kTarget - 8192) / 44 - 2;
  std::vector<Section> sections;
  for (size_t i = 0; i < count; ++i) {
    Section s = MakeSection("", 1, 3);
    s.data = Bytes(4, 0);
    s.raw_name = true;
    sections.push_back(s);
  }
  return Object(sections, 0x01);
}

// An archive whose members are all named through one long-name entry.
Bytes LongNameReferences(bool objects) {
  std::string out = "!<arch>\n";
  auto header = [&](const std::string& name, size_t size) {
    char buffer[61];
    snprintf(buffer, sizeof buffer, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", name.c_str(), "0", "0", "0", "644", size);
    out.append(buffer, 60);
  };
  Bytes member;
  if (objects) member = SymbolObject(Bytes{0, 'm', 0}, {Symbol(1, 0, 0, 0x22, 1)});
  else member = Bytes(2, 0);
  const size_t count = objects ? 1200 : 8000;
  const size_t length = kTarget - count * (60 + member.size() + 1) - 4096;
  // Object members are named "lll...l.o"; the others "lll...l.txt".
  std::string long_name(length - 5, 'l');
  long_name += objects ? ".o/\n" : ".txt/";
  header("//", long_name.size());
  out += long_name;
  if (out.size() % 2) out += '\n';
  for (size_t i = 0; i < count; ++i) {
    header("/0", member.size());
    out.append(member.begin(), member.end());
    if (out.size() % 2) out += '\n';
  }
  return Bytes(out.begin(), out.end());
}

// Definition text of one-byte names, and response text of one-byte tokens.
Bytes ShortLines(const char* line) {
  std::string text;
  while (text.size() + strlen(line) < kTarget - 4096) text += line;
  return Bytes(text.begin(), text.end());
}

// Definition text of as many different short names as fit, every one of
// them exported.
Bytes DistinctNames() {
  std::string text = "[CODE]\n";
  for (uint32_t i = 0; text.size() < kTarget - 4096; ++i) {
    std::string name;
    for (uint32_t v = i;; v /= 26) {
      name += static_cast<char>('a' + v % 26);
      if (v < 26) break;
    }
    text += name + "\n";
  }
  return Bytes(text.begin(), text.end());
}

void Write(const std::string& folder, const std::string& harness, const std::string& name, const Bytes& bytes) {
  std::string dir = folder + "/" + harness;
  mkdir(folder.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::string path = dir + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (!file || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
  if (bytes.size() >= kTarget) {
    fprintf(stderr, "%s is not below 1 MiB\n", path.c_str());
    exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_fuzz_bounds_inputs <folder>\n");
    return 2;
  }
  const std::string out = argv[1];
  Write(out, "object", "same_long_name", SameLongName(0));
  Write(out, "object", "same_long_name_xall", SameLongName(0x03));
  Write(out, "object", "overlapping_names", OverlappingNames(0));
  Write(out, "object", "overlapping_names_xall", OverlappingNames(0x03));
  Write(out, "object", "unterminated_names", UnterminatedNames());
  Write(out, "object", "same_definition_compared", SameDefinitionCompared());
  Write(out, "object", "long_section_names", LongSectionNames());
  Write(out, "object", "in_code_exports_of_one_name", InCodeExportsOfOneName());
  Write(out, "object", "claims_65535_sections", ClaimsTooMuch(true));
  Write(out, "object", "claims_a_billion_symbols", ClaimsTooMuch(false));
  Write(out, "object", "maximum_sections", MaximumSections());
  Write(out, "archive", "long_name_references", LongNameReferences(false));
  Write(out, "archive", "long_name_object_references", LongNameReferences(true));
  Write(out, "text", "one_byte_names", ShortLines("a\n"));
  Write(out, "text", "distinct_names", DistinctNames());
  Write(out, "text", "one_byte_tokens", ShortLines("a "));
  Write(out, "text", "empty_quoted_tokens", ShortLines("\"\" "));
  return 0;
}
