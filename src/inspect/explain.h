// A dry run of prepqdm: the reading, tracking and selection stages on a
// prepqdm command line, with nothing written, and for every global symbol
// why it would or would not be exported.
#pragma once
#include <string>
#include <vector>

#include "inspect/report.h"

namespace prepqdm {

// `args` are prepqdm's options and inputs (no program name). A non-empty
// `only` (qdmdump --symbol) limits the report to those names, and reports
// each of them that no input defines as a global.
ExplainReport Explain(const std::vector<std::string>& args, const std::vector<std::string>& only = {});

}  // namespace prepqdm
