// Test-side writer of `ar` archives. Members get GNU-style names (short ones
// as "name/", longer ones through a "//" table written before the first named
// member, referenced as "/N"), or a raw 16-byte name field for layouts a real
// archiver would not produce. Every header field can be overridden to break
// the archive on purpose: the size text, the two magic bytes, the padding.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ArMember {
  std::string name_field;                 // written as is, padded with spaces to 16 bytes
  std::vector<uint8_t> data;
  std::optional<std::string> size_field;  // default: the decimal size of data
  std::string fmag = "`\n";
  bool pad = true;                        // a '\n' after odd-sized data
};

class ArBuilder {
 public:
  // A "/" symbol index member (its contents are never read).
  ArBuilder& AddSymbolIndex(std::vector<uint8_t> data = std::vector<uint8_t>(4, 0));
  // A member under `name`: "name/" when it fits in 15 bytes, else "/N".
  ArBuilder& Add(const std::string& name, std::vector<uint8_t> data);
  ArBuilder& AddRaw(ArMember member);
  std::vector<uint8_t> Build() const;

 private:
  struct Entry {
    ArMember member;
    std::string long_name;  // set for members named through the table
  };
  std::vector<Entry> entries_;
};

}  // namespace testsupport
