// A bound on the bytes a reader looks at through references that may share
// bytes. Any number of symbols can name the same string-table bytes, any
// number of exports can be relocated against one symbol, and any number of
// archive members can be named through one long-name entry, so the bytes read
// through such references are not bounded by the file's size: one 500 KiB
// name named by 30,000 symbols is 15 GB of reading (and, for member names,
// of copies). A reader that follows such references charges the bytes it
// reads to a budget of a fixed multiple of the file's size and refuses the
// file once the budget is spent. Ordinary files read each name about once and
// never come near it.
#pragma once
#include <cstdint>

namespace prepqdm {

class ReadBudget {
 public:
  static constexpr uint64_t kFactor = 16;
  static constexpr uint64_t kMinimum = uint64_t{1} << 20;

  explicit ReadBudget(uint64_t file_size) : left_(kFactor * file_size + kMinimum) {}

  // Takes `bytes` from the budget; false (and the budget spent) when they
  // are more than is left.
  bool Charge(uint64_t bytes) {
    if (bytes > left_) {
      left_ = 0;
      return false;
    }
    left_ -= bytes;
    return true;
  }

 private:
  uint64_t left_;
};

}  // namespace prepqdm
