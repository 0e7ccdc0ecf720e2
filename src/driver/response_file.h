// Response files: an argument @name stands for the tokens of the file `name`.
// The file is plain bytes split into lines at any run of CR and LF; each line
// is trimmed of spaces and tabs and split into tokens at spaces outside double
// quotes and at every tab (a tab ends a token even inside quotes). Quotes only
// group: they are removed from the token. There are no comments, escapes or
// nested @files.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/mapped_file.h"
#include "host/status.h"

namespace prepqdm {

struct ResponseFile {
  std::string path;                 // full path it was read from
  std::vector<std::string> tokens;  // in file order
  int32_t current = 0;              // index of the current token
};

// Appends the tokens of `text` to `tokens`.
void TokenizeResponseText(std::string_view text, std::vector<std::string>& tokens);

// Reads the file `name` (the argument without its '@'), resolved against the
// working directory. Returns 0 or the mapping's status (an empty file cannot
// be mapped, so it fails with 0x80004005); -1 when no full path can be formed.
Status ReadResponseFile(Mappings& mappings, std::string_view name, ResponseFile& file);

}  // namespace prepqdm
