// Whether an import library belongs to an export object. The stub's import
// sections carry the entry count and CRC of the export table each was made
// from, so a library made from another run's export object (or another
// module's) shows a count or a CRC that differs from the export object's.
#pragma once
#include <optional>
#include <vector>

#include "inspect/report.h"

namespace prepqdm {

// When `files` are exactly one export object and one import library, in
// either order, both read without error: the comparison of the library's
// import sections with the export object's tables. Nothing otherwise.
std::optional<PairCheck> CheckPair(const std::vector<FileReport>& files);

}  // namespace prepqdm
