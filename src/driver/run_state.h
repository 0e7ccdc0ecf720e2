// Everything one run of the program owns: options, mapped inputs, registered
// objects, the symbol table, what selection made and the two output sinks.
// None of it lives in globals (the host keeps only what its signal and fault
// handlers must reach: the files to remove, the live mappings), so a whole
// run can execute in-process (tests, fuzzing). The stages below the driver never see this record: each is given
// the pieces it uses.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/options.h"
#include "elf/input_files.h"
#include "exports/export_list.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "symbols/symbol_table.h"
#include "symbols/tracking_pass.h"

namespace prepqdm {

struct RunState {
  Options options;
  Sink console{stdout, nullptr};
  Sink log;                        // open only with -log
  Mappings mappings;               // declared before anything that points into views
  InputFiles inputs;
  SymbolTable symbols;
  TrackingAhead tracking_ahead;  // objects entered into `symbols` as they were registered
  SelectionResult selection;
  MappedFile* def_file = nullptr;
  MappedFile* exclude_file = nullptr;
  std::vector<std::string> response_files;  // full paths, command-line order

  RunState() = default;
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;
  ~RunState();
};

}  // namespace prepqdm
