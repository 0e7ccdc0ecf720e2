// Statuses travel as 32-bit signed values from the failing operation to the
// driver, which exits with them. HRESULT-style values come from file mapping,
// 0xBAD000xx codes from the ELF reader, errno values from file writes.
#pragma once
#include <cstdint>

namespace prepqdm {

using Status = int32_t;

constexpr Status kOk = 0;
constexpr Status AsStatus(uint32_t v) { return static_cast<Status>(v); }

constexpr Status kEUnexpected = AsStatus(0x8000FFFFu);
constexpr Status kEFail = AsStatus(0x80004005u);
constexpr Status kEOutOfMemory = AsStatus(0x8007000Eu);
constexpr Status kEFileNotFound = AsStatus(0x80070002u);
constexpr Status kEPathNotFound = AsStatus(0x80070003u);
constexpr Status kEAccessDenied = AsStatus(0x80070005u);
constexpr Status kESharingViolation = AsStatus(0x80070020u);

// The process exit status for a run's status. On Linux it is 8 bits wide:
// the low byte is kept, but a failure never looks like success. On Windows
// it is the whole 32-bit status.
int ExitCodeFromStatus(Status status);

}  // namespace prepqdm
