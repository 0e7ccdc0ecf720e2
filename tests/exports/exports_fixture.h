// A run with a captured console for export-selection tests. Records go into
// the symbol table directly: by name, or as the defined globals of a
// little-endian (so host-order) object from the test-side ELF writer.
#pragma once
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "driver/option_checks.h"
#include "driver/run_state.h"
#include "exports/in_code_exports.h"
#include "output/export_object_writer.h"
#include "support/elf_builder.h"
#include "support/temp_dir.h"

namespace exportstest {

using namespace prepqdm;
using testsupport::Bytes;


class ExportsRun {
  std::deque<std::string> names_;  // storage first: records point into it
  std::deque<Bytes> images_;

 public:
  testsupport::TempDir dir;
  std::string console;
  RunState run;

  ExportsRun() {
    run.console = Sink{nullptr, &console};
    run.options.output_path = dir.File("pre_qdm.o");
  }

  TrackedSymbol* Find(const std::string& name) { return run.symbols.Find(name); }

  // Selection over the run's table with its options, as the driver runs it,
  // then the export object written from what it chose.
  Status SelectAndWrite(MappedFile* def_file, MappedFile* exclude_file) {
    run.selection = SelectExports(run.symbols, run.inputs.registry, def_file, exclude_file,
                                  SelectionSettingsOf(run.options), run.console);
    if (run.selection.status != 0) return run.selection.status;
    const ExportObjectTarget target{run.options.output_path, run.options.def_only};
    WrittenExportObject written =
        WriteExportObject(run.selection.exports, run.symbols, target, run.mappings, run.console, run.log);
    if (written.status != 0) return written.status;
    Status status = written.file.Commit();
    written.file.Keep();
    return status;
  }

  // One requested name, or the objects' .export sections, added to the
  // run's selection.
  Status Check(std::string_view name) {
    Selector selector = NewSelector();
    return CheckAndAddExport(selector, name);
  }
  Status CollectInCode() {
    Selector selector = NewSelector();
    return CollectAllInCodeExports(selector, run.inputs.registry);
  }
  const ExportList& exports() const { return run.selection.exports; }

  TrackedSymbol* Add(const std::string& name, uint8_t class_flags = 0, bool weak = false,
                     ObjectModule* object = nullptr, const uint8_t* symbol = nullptr) {
    bool made = false;
    uint32_t number = run.symbols.FindOrAdd(name, &made);
    TrackedSymbol* record = &run.symbols.At(number);
    if (!made) return record;
    record->class_flags = class_flags;
    record->is_weak = weak;
    record->object = object;
    if (object != nullptr && symbol != nullptr) record->symbol_offset = static_cast<uint32_t>(symbol - object->image);
    return record;
  }

  // Registers the image as the newest object and, with `track`, enters its
  // defined globals (first one met wins; linkonce and "__sti__" flags only).
  ObjectModule& Register(Bytes image, const std::string& name, bool track = true) {
    ObjectModule& object = run.inputs.registry.storage.emplace_back();
    object.name = name;
    object.image = images_.emplace_back(std::move(image)).data();
    object.size = static_cast<uint32_t>(images_.back().size());
    object.next = run.inputs.registry.head;
    run.inputs.registry.head = &object;
    ElfImage image_view = object.Image();
    for (uint32_t s = 1; track && s < image_view.SectionCount(); ++s) {
      std::optional<SectionHeader> symtab = image_view.Section(s);
      if (!symtab || symtab->sh_type != SHT_SYMTAB) continue;
      for (uint32_t i = 1; uint8_t* entry = image_view.Entry(*symtab, kSymbolSize, i, kSymbolSize); ++i) {
        ElfSymbol sym = LoadAt<ElfSymbol>(entry);
        uint8_t binding = SymbolBinding(sym.st_info);
        if ((binding != STB_GLOBAL && binding != STB_WEAK) || sym.st_shndx == SHN_UNDEF) continue;
        std::string name_text(*image_view.StringAt(symtab->sh_link, sym.st_name));
        auto section = image_view.SectionName(sym.st_shndx);
        uint8_t flags = (section && section->starts_with(".gnu.linkonce") ? CLASS_LINKONCE : 0) |
                        (name_text.starts_with("__sti__") ? CLASS_STATIC_INIT : 0);
        Add(name_text, flags, binding == STB_WEAK, &object, entry);
      }
    }
    return object;
  }

  MappedFile* Map(const std::string& file_name, const std::string& text) {
    testsupport::WriteFile(dir.File(file_name), text);
    MappedFile* file = nullptr;
    EXPECT_EQ(MapFile(run.mappings, dir.File(file_name), &file), 0);
    return file;
  }

  // The list from head to tail (newest first).
  std::vector<std::string> List() const {
    std::vector<std::string> out;
    for (auto e = exports().entries.rbegin(); e != exports().entries.rend(); ++e) {
      const TrackedSymbol& record = run.symbols.At(e->record);
      out.emplace_back(record.name());
    }
    return out;
  }

 private:
  SelectionSettings settings_;
  Selector NewSelector() {
    settings_ = SelectionSettingsOf(run.options);
    return Selector{run.symbols, run.console, settings_, run.selection};
  }
};

}  // namespace exportstest
