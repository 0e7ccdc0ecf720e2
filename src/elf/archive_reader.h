// Walks an `ar` archive and registers every object member.
#pragma once
#include "host/status.h"

namespace prepqdm {

struct RunState;
struct MappedFile;

Status ReadArchive(RunState& run, MappedFile* archive);

}  // namespace prepqdm
