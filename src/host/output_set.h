// The outputs of one run, put in place together: every output is written to
// its staged file first (see StagedFile), and only when all are complete
// (the archiver has indexed the library) are they renamed into place, in the
// order they were added, under the directories' commit locks. A rename that
// fails takes back the ones already done; then the targets that are not
// regular files get their copies. After any failure every target holds what
// it held before, or nothing.
#pragma once
#include <functional>
#include <vector>

#include "host/staged_file.h"
#include "host/status.h"

namespace prepqdm {

class OutputSet {
 public:
  // Prints an output's failure (the errno of the failed rename or copy) and
  // returns the run's status for it.
  using FailureReport = std::function<Status(int error)>;

  // Adds a written, closed output; `file` must outlive the set's use.
  void Add(StagedFile& file, FailureReport report);
  // Puts every output in place: 0, or the failed output's report.
  Status CommitAll();
  // Takes back what this set put in place (what replaced it since stays)
  // and discards what it did not.
  void RollBack();
  // The run succeeded: the outputs stay, whatever comes.
  void KeepAll();

 private:
  struct Output {
    StagedFile* file;
    FailureReport report;
  };
  void RollBackLocked();
  std::vector<std::string> RenamedTargets() const;

  std::vector<Output> outputs_;
};

}  // namespace prepqdm
