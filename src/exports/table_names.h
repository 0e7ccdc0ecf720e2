// The names of an export object's two tables. The writer defines them in
// every export object it writes, so a second export object among the inputs
// defines them too, and exporting them would put a table inside itself.
// Selection therefore never lists a symbol of these names, whoever defines
// it: -xall passes it over and a request for one is refused. GCC's LTO
// markers are refused the same way: they are no part of the module's code
// or data.
#pragma once
#include <cstdint>
#include <string_view>

#include "elf/lto_objects.h"

namespace prepqdm {

constexpr char kCodeTableSymbol[] = "qdm_fexports";
constexpr char kDataTableSymbol[] = "qdm_dexports";

inline bool IsExportTableName(std::string_view name) { return name == kCodeTableSymbol || name == kDataTableSymbol; }

}  // namespace prepqdm
