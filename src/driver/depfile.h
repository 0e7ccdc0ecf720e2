// The Make-syntax dependency file of -MF: the outputs as targets, every file
// the run read as prerequisites, so a build system reruns prepqdm when a file
// it found through -L or read through @file, -x or -xnot changes.
#pragma once
#include "host/staged_file.h"
#include "host/status.h"

namespace prepqdm {

struct RunState;

// Writes the run's dependency file for options.depfile_path into `file`,
// which the caller puts in place with the other outputs. Returns 0, or a
// status after its message.
Status StageDependencyFile(RunState& run, StagedFile& file);
// Prints that the file could not be written (`error`, an errno) and returns
// the run's status for it.
Status ReportDependencyFileFailure(RunState& run, int error);

}  // namespace prepqdm
