// The libFuzzer entry point of one harness; PREPQDM_HARNESS names it.
#include "harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzing::PREPQDM_HARNESS(data, size);
}
