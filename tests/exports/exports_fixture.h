// A run with a captured console for export-selection tests: records are put
// into the symbol table directly (named records, or the globals of a
// little-endian object laid out by the test-side ELF writer, which is already
// in host order), and text files are mapped from a temporary directory.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "elf/elf_image.h"
#include "support/elf_builder.h"
#include "support/temp_dir.h"

namespace exportstest {

using namespace prepqdm;
using testsupport::Bytes;

class ExportsRun {
 public:
  ExportsRun() {
    run.console = Sink{nullptr, &console};
    run.options.output_path = dir.File("pre_qdm.o");
  }

  // A record under `name` with the given fields; no defining object.
  TrackedSymbol* Add(const std::string& name, uint8_t class_flags = 0, bool weak = false, bool code = true) {
    const std::string& stored = names_.emplace_back(name);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stored.data());
    uint32_t length = static_cast<uint32_t>(stored.size());
    TrackedSymbol* parent = nullptr;
    int sign = 0;
    EXPECT_EQ(run.tree.Find(bytes, length, &parent, &sign), nullptr) << name;
    TrackedSymbol* record = run.tree.Allocate();
    record->name = bytes;
    record->name_length = length;
    record->class_flags = class_flags;
    record->is_weak = weak ? 1 : 0;
    record->is_code = code ? 1 : 0;
    run.tree.Insert(record, parent, sign);
    return record;
  }

  // Registers a host-order (little-endian) image as the newest object.
  ObjectModule& Register(Bytes image, const std::string& name) {
    Bytes& stored = images_.emplace_back(std::move(image));
    ObjectModule& object = run.registry.storage.emplace_back();
    object.name = name;
    object.image = stored.data();
    object.size = static_cast<uint32_t>(stored.size());
    object.next = run.registry.head;
    run.registry.head = &object;
    ++run.registry.count;
    return object;
  }

  // Enters the object's defined globals (first definition wins), with the
  // class flags a name and its section earn. Enough for these tests; the
  // full resolution rules are tested with the symbol table.
  void TrackGlobals(ObjectModule& object) {
    ElfImage image = object.Image();
    for (uint32_t s = 1; s < image.SectionCount(); ++s) {
      std::optional<SectionHeader> symtab = image.Section(s);
      if (!symtab || symtab->sh_type != SHT_SYMTAB) continue;
      for (uint32_t i = 1;; ++i) {
        uint8_t* entry = image.Entry(*symtab, kSymbolSize, i, kSymbolSize);
        if (!entry) break;
        ElfSymbol sym = LoadAt<ElfSymbol>(entry);
        uint8_t binding = SymbolBinding(sym.st_info);
        if ((binding != STB_GLOBAL && binding != STB_WEAK) || sym.st_shndx == SHN_UNDEF) continue;
        std::string_view name = *image.StringAt(symtab->sh_link, sym.st_name);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(name.data());
        TrackedSymbol* parent = nullptr;
        int sign = 0;
        if (run.tree.Find(bytes, static_cast<uint32_t>(name.size()), &parent, &sign)) continue;
        TrackedSymbol* record = run.tree.Allocate();
        record->name = bytes;
        record->name_length = static_cast<uint32_t>(name.size());
        record->object = &object;
        record->symbol = entry;
        record->is_weak = binding == STB_WEAK;
        std::optional<std::string_view> section =
            sym.st_shndx < image.SectionCount() ? image.SectionName(sym.st_shndx) : std::nullopt;
        if (section && section->starts_with(".gnu.linkonce")) record->class_flags |= CLASS_LINKONCE;
        if (name.starts_with("__sti__")) record->class_flags |= CLASS_STATIC_INIT;
        if (name.find("..") != std::string_view::npos) record->class_flags |= CLASS_DOUBLE_DOT;
        run.tree.Insert(record, parent, sign);
      }
    }
  }

  MappedFile* Map(const std::string& file_name, const std::string& text) {
    std::string path = dir.File(file_name);
    testsupport::WriteFile(path, text);
    MappedFile* file = nullptr;
    EXPECT_EQ(MapFile(run.mappings, path, &file), 0) << path;
    return file;
  }

  // The list from head to tail (newest first).
  std::vector<std::string> List() const {
    std::vector<std::string> out;
    for (const ExportEntry* e = run.exports.head; e; e = e->next) {
      out.emplace_back(reinterpret_cast<const char*>(e->tracked_symbol->name), e->tracked_symbol->name_length);
    }
    return out;
  }

  // Storage first: the run's records and objects point into it.
 private:
  std::deque<std::string> names_;
  std::deque<Bytes> images_;

 public:
  testsupport::TempDir dir;
  std::string console;
  RunState run;
};

inline Status Select(ExportsRun& t, MappedFile* def = nullptr, MappedFile* exclude = nullptr) {
  return SelectExports(t.run, def, exclude);
}

}  // namespace exportstest
