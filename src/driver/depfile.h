// The Make-syntax dependency file of -MF: the outputs as targets, every file
// the run read as prerequisites, so a build system reruns prepqdm when a file
// it found through -L or read through @file, -x or -xnot changes.
#pragma once
#include "host/staged_file.h"
#include "host/status.h"

namespace prepqdm {

struct RunState;

// Writes the run's dependency file for options.depfile_path into `file`,
// which the caller commits once the other outputs are in place. Returns 0,
// or a status after its message.
Status StageDependencyFile(RunState& run, StagedFile& file);
// Puts it in place: 0, or the errno after the message.
Status CommitDependencyFile(RunState& run, StagedFile& file);

}  // namespace prepqdm
