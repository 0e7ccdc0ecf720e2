// Text and JSON renderings of the inspector's reports. Both print the same
// records; JSON is one document per program run.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "inspect/report.h"

namespace prepqdm {

// `pair`: the pair check of an export object and an import library, when
// the files are such a pair.
std::string RenderText(const std::vector<FileReport>& reports, const std::optional<PairCheck>& pair = std::nullopt);
std::string RenderJson(const std::vector<FileReport>& reports, const std::optional<PairCheck>& pair = std::nullopt);
std::string RenderText(const ExplainReport& report);
std::string RenderJson(const ExplainReport& report);

// The one-line messages for unreadable input, naming the file and member
// ("qdmdump: lib.a(x.o): ..."), for standard error.
std::vector<std::string> ErrorLines(const std::vector<FileReport>& reports);

}  // namespace prepqdm
