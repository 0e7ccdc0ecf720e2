#include "harnesses.h"

namespace fuzzing {

HarnessFunction FindHarness(std::string_view name) {
  if (name == "object") return FuzzObject;
  if (name == "archive") return FuzzArchive;
  if (name == "text") return FuzzText;
  if (name == "run") return FuzzRun;
  return nullptr;
}

}  // namespace fuzzing
