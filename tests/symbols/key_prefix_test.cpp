// The tree compares the eight-byte key prefixes it keeps in each record before
// it compares names. These keys sit where prefix order and name order could
// part: names shorter than, equal to and longer than eight bytes sharing their
// first bytes, zero bytes inside names (the prefix pads with zeros too), and
// high bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "symbols/symbol_tree.h"

namespace prepqdm {
namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
uint32_t Length(const std::string& s) { return static_cast<uint32_t>(s.size()); }

std::vector<std::string> TrickyNames() {
  using namespace std::string_literals;
  return {""s,         "a"s,          "a\0"s,        "a\0\0"s,        "a\0b"s,        "abcdefg"s,
          "abcdefg\0"s, "abcdefgh"s,  "abcdefgh\0"s, "abcdefgha"s,    "abcdefghb"s,   "abcdefgh\xff"s,
          "abcdefgi"s,  "abcdefg\xff"s, "\xff"s,     "\xff\xff\xff\xff\xff\xff\xff\xff"s,
          "\xff\xff\xff\xff\xff\xff\xff\xff\x01"s,    "_ZN4core"s,    "_ZN4core4initEv"s,
          "_ZN4core4initEi"s, "b"s,     "\x80"s,       "\x7f"s};
}

TEST(KeyPrefixTest, DifferentPrefixesOrderAsNamesDo) {
  std::vector<std::string> names = TrickyNames();
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      uint64_t pa = KeyPrefix(Bytes(a), Length(a)), pb = KeyPrefix(Bytes(b), Length(b));
      int by_name = CompareNames(Bytes(a), Length(a), Bytes(b), Length(b));
      if (pa != pb) {
        EXPECT_EQ(pa < pb, by_name < 0) << testing::PrintToString(a) << " vs " << testing::PrintToString(b);
      }
      if (by_name == 0) {
        EXPECT_EQ(pa, pb);
      }
    }
  }
}

TEST(KeyPrefixTest, TreeFindsEveryKeyAndWalksInNameOrder) {
  std::vector<std::string> names = TrickyNames();
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    std::shuffle(names.begin(), names.end(), random);
    SymbolTree tree;
    for (const std::string& name : names) {
      TrackedSymbol* parent = nullptr;
      int sign = 0;
      ASSERT_EQ(tree.Find(Bytes(name), Length(name), &parent, &sign), nullptr) << testing::PrintToString(name);
      TrackedSymbol* record = tree.Allocate();
      record->name = Bytes(name);
      record->name_length = Length(name);
      tree.Insert(record, parent, sign);
    }
    for (const std::string& name : names) {
      TrackedSymbol* found = tree.Find(Bytes(name), Length(name));
      ASSERT_NE(found, nullptr) << testing::PrintToString(name);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(found->name), found->name_length), name);
    }
    std::vector<std::string> walked;
    for (TrackedSymbol* r = tree.First(); r != nullptr; r = tree.Next(r))
      walked.emplace_back(reinterpret_cast<const char*>(r->name), r->name_length);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
      return CompareNames(Bytes(a), Length(a), Bytes(b), Length(b)) < 0;
    });
    EXPECT_EQ(walked, sorted);
  }
}

}  // namespace
}  // namespace prepqdm
