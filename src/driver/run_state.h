// Everything one run of the program owns: options, mapped inputs, registered
// objects, the symbol table, the export list and the two output sinks. Nothing
// lives in globals, so a whole run can execute in-process (tests, fuzzing).
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/options.h"
#include "elf/object_module.h"
#include "exports/export_list.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "symbols/symbol_tree.h"

namespace prepqdm {

struct RunState {
  Options options;
  Sink console{stdout, nullptr};
  Sink log;                        // open only with -log
  Mappings mappings;               // declared before anything that points into views
  std::vector<MappedFile*> input_list;  // accepted inputs, newest first
  InputRegistry registry;
  SymbolTree tree;
  ExportList exports;
  MappedFile* def_file = nullptr;
  MappedFile* exclude_file = nullptr;
  // The export object mapped again for the import library.
  uint8_t* export_object = nullptr;
  uint32_t export_object_size = 0;
  // False for a dry run (qdmdump --explain): selection stops before the writer.
  bool write_outputs = true;

  RunState() = default;
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;
  ~RunState();
};

}  // namespace prepqdm
