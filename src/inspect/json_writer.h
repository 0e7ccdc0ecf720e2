// A small JSON emitter for the inspector's reports. Strings are byte strings
// (symbol names can hold any byte but NUL), so escaping is done on bytes:
// quote, backslash and control bytes are escaped, well-formed UTF-8 passes
// through, and every byte that is not part of a well-formed UTF-8 sequence is
// written as a lone low surrogate \udc80..\udcff (the "surrogateescape"
// convention), so a reader can recover the exact bytes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace prepqdm {

class JsonWriter {
 public:
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // Inside an object, each value is preceded by its key.
  JsonWriter& Key(std::string_view key);
  void String(std::string_view bytes);
  void Number(int64_t value);
  void Bool(bool value);
  void Null();

  const std::string& Text() const { return out_; }

 private:
  void BeforeValue();
  std::string out_;
  std::vector<bool> first_;  // per open container: no member written yet
  bool after_key_ = false;
};

// `bytes` as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view bytes);

}  // namespace prepqdm
