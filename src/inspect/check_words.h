// The ELF reader's checks in words: what a 0xBAD000xx code means and what to
// do about it. The reader only returns codes (its messages are fixed), so
// qdmdump and the man page's table give the words.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace prepqdm {

// "what failed; what to do", or nothing for a code the reader does not use.
std::optional<std::string> ElfCheckWords(uint32_t code);

// Every code the table knows, in ascending order.
std::vector<uint32_t> KnownElfCheckCodes();

}  // namespace prepqdm
