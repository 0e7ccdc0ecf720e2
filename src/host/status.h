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

// The host's exit status is 8 bits wide: keep the low byte, but never let a
// failure look like success.
int ExitCodeFromStatus(Status status);

}  // namespace prepqdm
