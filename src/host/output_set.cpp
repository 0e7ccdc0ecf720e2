#include "host/output_set.h"

#include "host/commit_lock.h"
#include "host/fatal_cleanup.h"

namespace prepqdm {

void OutputSet::Add(StagedFile& file, FailureReport report) { outputs_.push_back({&file, std::move(report)}); }

std::vector<std::string> OutputSet::RenamedTargets() const {
  std::vector<std::string> targets;
  for (const Output& output : outputs_)
    if (!output.file->special()) targets.push_back(output.file->target());
  return targets;
}

Status OutputSet::CommitAll() {
  {
    CommitLock lock(RenamedTargets());
    // A signal comes before every rename or after all of them.
    FatalSignalsHeld held;
    for (Output& output : outputs_) {
      if (int error = output.file->Commit()) {
        RollBackLocked();
        return output.report(error);
      }
    }
  }
  for (Output& output : outputs_) {
    if (!output.file->special()) continue;
    if (int error = output.file->CopyToSpecialTarget()) {
      RollBack();
      return output.report(error);
    }
  }
  return kOk;
}

void OutputSet::RollBackLocked() {
  for (Output& output : outputs_) {
    output.file->RemoveCommitted();
    output.file->Discard();
  }
}

void OutputSet::RollBack() {
  CommitLock lock(RenamedTargets());
  FatalSignalsHeld held;
  RollBackLocked();
}

void OutputSet::KeepAll() {
  for (Output& output : outputs_) output.file->Keep();
}

}  // namespace prepqdm
