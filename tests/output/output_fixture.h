// Shared pieces of the output tests: a run with a hand-made export list, an
// expected image assembled field by field from the format's tables, and
// helpers to run the binutils tools.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "elf/elf_format.h"
#include "output/archive_indexing.h"
#include "output/export_object_writer.h"
#include "output/import_library.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

namespace outputtest {

using Bytes = std::vector<uint8_t>;

struct Export {
  std::string name;
  bool code = false;
  bool tls = false;
};

// A RunState and an export list holding `list` (first element = list head),
// defined in an object with the given byte order and machine, with the
// output stages run on them as the driver runs them.
struct ExportRun {
  prepqdm::RunState run;
  prepqdm::ExportList exports;
  prepqdm::ElfImage export_object;  // the export object read back, for the library
  prepqdm::MappedFile* export_object_file = nullptr;  // its mapping, when the library may give pages back
  std::deque<std::string> names;
  Bytes header = Bytes(52, 0);
  prepqdm::ObjectModule object;

  ExportRun(const std::vector<Export>& list, bool big_endian, uint16_t machine, const std::string& output) {
    header[prepqdm::EI_DATA] = big_endian ? 2 : 1;
    prepqdm::StoreAt<uint16_t>(header.data() + 18, machine);  // host order, as after parsing
    object.image = header.data();
    object.size = 52;
    run.options.output_path = output;
    run.console.file = nullptr;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
      names.push_back(it->name);
      bool made = false;
      uint32_t number = run.symbols.FindOrAdd(names.back(), &made);
      prepqdm::TrackedSymbol* s = &run.symbols.At(number);
      s->is_code = it->code;
      s->is_tls = it->tls;
      s->object = &object;
      // Added oldest first: the list's head is its last element.
      exports.entries.push_back(prepqdm::ExportEntry{number});
    }
    // As AddExport keeps it: are the entries (oldest first) ascending?
    const std::vector<prepqdm::ExportEntry>& e = exports.entries;
    for (size_t i = 1; i < e.size(); ++i)
      exports.ascending = exports.ascending && prepqdm::CompareExportNames(run.symbols, e[i - 1], e[i]) < 0;
  }

  // The export object written and put in place.
  prepqdm::WrittenExportObject Write() {
    const prepqdm::ExportObjectTarget target{run.options.output_path, run.options.def_only};
    return Committed(prepqdm::WriteExportObject(exports, run.symbols, target, run.mappings, run.console, run.log));
  }
  prepqdm::Status WriteEmpty() {
    return Committed(prepqdm::WriteEmptyExportObject(run.options.output_path, run.mappings, run.console)).status;
  }
  // The import library from `export_object`, put in place, then the
  // archiver on it.
  prepqdm::Status BuildLibrary() {
    const prepqdm::Options& o = run.options;
    const std::string module = o.module_name.value_or("");
    const prepqdm::ImportLibrarySettings settings{*o.import_library_path, module, o.output_path, o.no_archive_header,
                                                  export_object_file};
    prepqdm::BuiltImportLibrary built = prepqdm::BuildImportLibrary(export_object, settings, run.mappings, run.console);
    if (built.status != 0 || !built.file.pending()) return built.status;
    if (int error = built.file.Commit()) return error;
    if (int error = built.file.CopyToSpecialTarget()) return error;
    built.file.Keep();
    if (o.no_archive_header) return 0;
    return prepqdm::IndexImportLibrary(*o.import_library_path, *o.import_library_path, o.verbose, run.console);
  }

 private:
  static prepqdm::WrittenExportObject Committed(prepqdm::WrittenExportObject written) {
    if (written.status == 0 && written.file.pending()) written.status = written.file.Commit();
    if (written.status == 0 && written.file.special()) written.status = written.file.CopyToSpecialTarget();
    written.file.Keep();
    return written;
  }

 public:
};

// Bitwise CRC-32, independent of the table-driven one under test.
inline uint32_t ReferenceCrc(const Bytes& bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Zeros(size_t n) { return Bytes(n, 0); }
inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An expected file described as labelled fields; every byte no field covers
// must be zero. Failures name the field and its offset.
class ExpectedImage {
 public:
  ExpectedImage(size_t size, bool big_endian) : size_(size), big_(big_endian) {}

  void Raw(size_t offset, const Bytes& bytes, const std::string& label) { fields_.push_back({offset, bytes, label}); }
  void Word(size_t offset, uint32_t v, const std::string& label, int width = 4) {
    Bytes b(width);
    for (int i = 0; i < width; ++i) b[big_ ? width - 1 - i : i] = static_cast<uint8_t>(v >> (8 * i));
    Raw(offset, b, label);
  }
  void ElfHeader(size_t at, uint16_t machine, uint32_t shoff, uint32_t flags, uint16_t shnum, uint16_t shstrndx) {
    Raw(at, {0x7F, 'E', 'L', 'F', 1, static_cast<uint8_t>(big_ ? 2 : 1), 1}, "e_ident");
    Word(at + 16, 1, "e_type", 2);
    Word(at + 18, machine, "e_machine", 2);
    Word(at + 20, 1, "e_version");
    Word(at + 32, shoff, "e_shoff");
    Word(at + 36, flags, "e_flags");
    Word(at + 40, 52, "e_ehsize", 2);
    Word(at + 42, 32, "e_phentsize", 2);
    Word(at + 46, 40, "e_shentsize", 2);
    Word(at + 48, shnum, "e_shnum", 2);
    Word(at + 50, shstrndx, "e_shstrndx", 2);
  }
  // name, type, flags, offset, size, link, info, addralign, entsize (sh_addr 0).
  void Section(size_t table, int index, std::vector<uint32_t> v) {
    static const char* const kFields[] = {"sh_name", "sh_type", "sh_flags", "sh_offset", "sh_size",
                                    "sh_link", "sh_info", "sh_addralign", "sh_entsize"};
    static const int kAt[] = {0, 4, 8, 16, 20, 24, 28, 32, 36};
    for (int i = 0; i < 9; ++i)
      Word(table + 40 * index + kAt[i], v[i], "section " + std::to_string(index) + " " + kFields[i]);
  }
  // st_name, st_value, st_size, st_info, st_shndx.
  void Symbol(size_t table, int index, uint32_t name, uint32_t value, uint32_t size, uint8_t info, uint16_t shndx) {
    std::string s = "symbol " + std::to_string(index) + " ";
    size_t at = table + 16 * index;
    Word(at, name, s + "st_name");
    Word(at + 4, value, s + "st_value");
    Word(at + 8, size, s + "st_size");
    Raw(at + 12, {info}, s + "st_info");
    Word(at + 14, shndx, s + "st_shndx", 2);
  }
  void Rela(size_t at, uint32_t offset, uint32_t symbol, uint32_t type, const std::string& label) {
    Word(at, offset, label + " r_offset");
    Word(at + 4, (symbol << 8) | type, label + " r_info");
  }

  void Compare(const Bytes& actual, size_t base = 0) const {
    ASSERT_EQ(actual.size(), base + size_);
    std::vector<bool> covered(size_, false);
    for (const Field& f : fields_) {
      Bytes got(actual.begin() + base + f.offset, actual.begin() + base + f.offset + f.bytes.size());
      EXPECT_EQ(got, f.bytes) << f.label << " at offset " << f.offset;
      for (size_t i = 0; i < f.bytes.size(); ++i) covered[f.offset + i] = true;
    }
    for (size_t i = 0; i < size_; ++i)
      if (!covered[i]) {
        EXPECT_EQ(actual[base + i], 0) << "uncovered byte at offset " << i;
      }
  }

 private:
  struct Field {
    size_t offset;
    Bytes bytes;
    std::string label;
  };
  size_t size_;
  bool big_;
  std::vector<Field> fields_;
};

// Runs a tool from /usr/bin; stdout and stderr together.
inline std::string Tool(const std::string& name, const std::vector<std::string>& args, int* exit_code = nullptr) {
  testsupport::ProcessResult r = testsupport::RunProgram("/usr/bin/" + name, args, "/");
  if (exit_code) *exit_code = r.exit_code;
  return r.out + r.err;
}

// Sets (or with null, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old, had_ = true;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had_ ? setenv(name_.c_str(), saved_.c_str(), 1) : unsetenv(name_.c_str()); }

 private:
  std::string name_, saved_;
  bool had_ = false;
};

}  // namespace outputtest
