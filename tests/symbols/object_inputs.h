// Test-side inputs for symbol tracking: objects built with ElfBuilder are
// written to a temporary directory, mapped and registered the way the
// command line registers them, into a RunState whose console is captured.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "elf/object_module.h"
#include "symbols/tracking_pass.h"
#include "support/elf_builder.h"
#include "support/temp_dir.h"

namespace testsupport {

class ObjectInputs {
 public:
  ObjectInputs() { run.console = prepqdm::Sink{nullptr, &console}; }

  // Maps `bytes` from a new file (its path made unique with a counter) and
  // registers it under the module name `name`.
  prepqdm::ObjectModule* AddFile(const std::string& name, const Bytes& bytes) {
    std::string path = dir_.File(std::to_string(files_++) + "_" + name);
    WriteFile(path, bytes);
    prepqdm::MappedFile* file = nullptr;
    EXPECT_EQ(prepqdm::MapFile(run.mappings, path, &file), 0);
    if (!file) return nullptr;
    prepqdm::ObjectModule* module = Register(file, name, file->view, static_cast<uint32_t>(bytes.size()));
    prepqdm::ReleaseMappedFile(file);
    return module;
  }

  // Maps one file holding `members` at 8-byte aligned offsets and registers
  // each as an object of that file (as archive members are).
  std::vector<prepqdm::ObjectModule*> AddMembers(const std::vector<std::pair<std::string, Bytes>>& members) {
    Bytes all;
    std::vector<size_t> offsets;
    for (const auto& member : members) {
      all.resize((all.size() + 7) / 8 * 8, 0);
      offsets.push_back(all.size());
      all.insert(all.end(), member.second.begin(), member.second.end());
    }
    std::string path = dir_.File("archive" + std::to_string(files_++) + ".a");
    WriteFile(path, all);
    prepqdm::MappedFile* file = nullptr;
    EXPECT_EQ(prepqdm::MapFile(run.mappings, path, &file), 0);
    std::vector<prepqdm::ObjectModule*> modules;
    if (!file) return modules;
    for (size_t i = 0; i < members.size(); ++i) {
      modules.push_back(Register(file, members[i].first, file->view + offsets[i],
                                 static_cast<uint32_t>(members[i].second.size())));
    }
    prepqdm::ReleaseMappedFile(file);
    return modules;
  }

  std::string PathOf(const prepqdm::ObjectModule* module) const { return module->file->path; }

  // Has each object entered into the table as it is registered, as the
  // command line has it; Track then only reports.
  void EnterAhead() {
    run.inputs.registry.registered = [this](prepqdm::ObjectModule& module) {
      prepqdm::TrackAhead(run.tracking_ahead, run.inputs.registry, run.symbols, module, run.options.verbose);
    };
  }
  prepqdm::Status Track() {
    return prepqdm::TrackAllSymbols(run.inputs.registry, run.symbols, run.console, run.options.verbose,
                                     &run.tracking_ahead);
  }

  prepqdm::TrackedSymbol* Lookup(const std::string& name) {
    return run.symbols.Find(name);
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (uint32_t i : run.symbols.InNameOrder()) {
      const prepqdm::TrackedSymbol& r = run.symbols.At(i);
      out.emplace_back(r.name());
    }
    return out;
  }

  prepqdm::RunState run;
  std::string console;

 private:
  prepqdm::ObjectModule* Register(prepqdm::MappedFile* file, const std::string& name, uint8_t* image,
                                  uint32_t size) {
    int32_t before = run.inputs.registry.count;
    EXPECT_EQ(prepqdm::OpenObjectModule(run.inputs.registry, run.console, file, name, image, size), 0) << console;
    if (run.inputs.registry.count != before + 1) return nullptr;
    return run.inputs.registry.head;
  }

  TempDir dir_;
  int files_ = 0;
};

}  // namespace testsupport
