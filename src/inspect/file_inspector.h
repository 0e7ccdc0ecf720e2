// Reading the files prepqdm writes: export objects (full or empty) and import
// libraries (an `ar` archive of stub objects, or a bare stub).
#pragma once
#include <cstdint>
#include <string>

#include "inspect/report.h"

namespace prepqdm {

// Maps `path` privately and reports every object in it. Never throws for bad
// input: unreadable files and members end up in the report's `error` fields.
FileReport InspectFile(const std::string& path);

// Parses the ELF image in place (the bytes must be a private, writable copy)
// and describes it. Used for a file and for each archive member. Returns the
// ELF reader's code (0 when it accepted the image).
uint32_t InspectImage(uint8_t* data, uint32_t size, ObjectReport& report);

}  // namespace prepqdm
