// Symbol table: key order, lookups after bulk inserts in several orders (the
// index grows many times over), and walks and sorts in name order.
#include "symbols/symbol_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace prepqdm {
namespace {

int Compare(const std::string& a, const std::string& b) { return CompareNames(a, b); }

TEST(CompareNamesTest, LexicographicUnsignedBytes) {
  struct Case {
    std::string a, b;
    int sign;
  } cases[] = {
      {"ab", "abc", -1},
      {"abc", "b", -1},
      {"", "a", -1},
      {"", "", 0},
      {"abc", "abc", 0},
      {"z", "\x80", -1},            // high bytes after ASCII
      {"\xff", "\x80", 1},
      {std::string("a\0b", 3), std::string("a\0c", 3), -1},  // zero bytes are ordinary bytes
      {std::string("a\0", 2), "a", 1},
      {"b", "ab", 1},
  };
  for (const Case& c : cases) {
    int forward = Compare(c.a, c.b);
    int backward = Compare(c.b, c.a);
    EXPECT_EQ((forward > 0) - (forward < 0), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ((backward > 0) - (backward < 0), -c.sign) << c.b << " vs " << c.a;
  }
}

class SymbolTableTest : public ::testing::Test {
 protected:
  SymbolTable symbols;

  uint32_t Add(const std::string& name) {
    EXPECT_EQ(symbols.FindRecord(name), kNoRecord) << name;
    bool made = false;
    uint32_t record = symbols.FindOrAdd(name, &made);
    EXPECT_TRUE(made) << name;
    return record;
  }

  std::string NameOf(uint32_t record) const {
    const TrackedSymbol& r = symbols.At(record);
    return std::string(r.name());
  }

  std::vector<std::string> Walk() const {
    std::vector<std::string> out;
    for (uint32_t r : symbols.InNameOrder()) out.push_back(NameOf(r));
    return out;
  }

  // Every record is visited once in storage order and found again by its
  // name, as itself, whatever the index went through since it was made.
  void CheckInvariants() {
    std::vector<uint32_t> visited;
    symbols.ForEachRecord([&](uint32_t r) { visited.push_back(r); });
    EXPECT_EQ(visited.size() + 1, symbols.RecordCount());
    EXPECT_TRUE(std::is_sorted(visited.begin(), visited.end()));
    for (uint32_t r : visited) {
      const std::string name = NameOf(r);
      ASSERT_EQ(symbols.FindRecord(name), r) << testing::PrintToString(name);
      bool made = true;
      EXPECT_EQ(symbols.FindOrAdd(name, &made), r);
      EXPECT_FALSE(made);
    }
    EXPECT_EQ(visited.size() + 1, symbols.RecordCount()) << "a lookup made a record";
  }
};

TEST_F(SymbolTableTest, EmptyTable) {
  EXPECT_TRUE(symbols.InNameOrder().empty());
  EXPECT_EQ(symbols.FindRecord("a"), kNoRecord);
  EXPECT_EQ(symbols.FindRecord(""), kNoRecord);
  std::vector<uint32_t> none;
  EXPECT_TRUE(symbols.SortByName(none));
}

TEST_F(SymbolTableTest, SmallWalkAndPrefixLookups) {
  for (const char* n : {"b", "a", "c", "ab", ""}) Add(n);
  EXPECT_EQ(Walk(), (std::vector<std::string>{"", "a", "ab", "b", "c"}));
  TrackedSymbol* ab = symbols.Find(std::string_view("abc", 2));
  ASSERT_NE(ab, nullptr);
  EXPECT_EQ(ab->name(), "ab");
  EXPECT_EQ(symbols.Find("abc"), nullptr);
  TrackedSymbol* empty = symbols.Find(std::string_view("x", 0));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->name_length, 0u);
  CheckInvariants();
}

TEST_F(SymbolTableTest, InvariantsHoldForBulkInserts) {
  auto key = [](int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "s%05d", i);
    return std::string(buf);
  };
  // More records than one storage block holds, in three insertion orders.
  constexpr int kCount = 20000;
  std::vector<int> ascending(kCount), descending, shuffled;
  for (int i = 0; i < kCount; ++i) ascending[i] = i;
  descending.assign(ascending.rbegin(), ascending.rend());
  shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));
  for (const auto* order : {&ascending, &descending, &shuffled}) {
    symbols.Clear();
    std::vector<uint32_t> records;
    for (int i : *order) records.push_back(Add(key(i)));
    CheckInvariants();
    std::vector<std::string> expected;
    for (int i = 0; i < kCount; ++i) expected.push_back(key(i));
    EXPECT_EQ(Walk(), expected);
    for (int i : {0, 499, kCount - 1}) {
      uint32_t found = symbols.FindRecord(key(i));
      EXPECT_EQ(found, records[std::find(order->begin(), order->end(), i) - order->begin()]);
    }
  }
  // Without its index the table still finds every name, and takes new ones.
  symbols.DropIndex();
  EXPECT_EQ(symbols.FindRecord(key(kCount - 1)), symbols.InNameOrder().back());
  EXPECT_EQ(symbols.FindRecord("absent"), kNoRecord);
  Add("late");
  CheckInvariants();
}

// Keys where a shortcut on the first bytes could part from name order: names
// shorter than, equal to and longer than eight bytes sharing their first
// bytes, zero bytes inside names, and high bytes.
TEST_F(SymbolTableTest, TrickyKeysAreFoundAndWalkedInNameOrder) {
  using namespace std::string_literals;
  std::vector<std::string> names = {
      ""s,         "a"s,          "a\0"s,        "a\0\0"s,        "a\0b"s,        "abcdefg"s,
      "abcdefg\0"s, "abcdefgh"s,  "abcdefgh\0"s, "abcdefgha"s,    "abcdefghb"s,   "abcdefgh\xff"s,
      "abcdefgi"s,  "abcdefg\xff"s, "\xff"s,     "\xff\xff\xff\xff\xff\xff\xff\xff"s,
      "\xff\xff\xff\xff\xff\xff\xff\xff\x01"s,    "_ZN4core"s,    "_ZN4core4initEv"s,
      "_ZN4core4initEi"s, "b"s,     "\x80"s,       "\x7f"s,
      // Ties on whole eight-byte steps, and ends just before, at and after one.
      std::string(15, 'q'), std::string(16, 'q'), std::string(17, 'q'), std::string(16, 'q') + "\0"s,
      std::string(24, 'q') + "\0\0"s, std::string(23, 'q') + "r"s};
  std::mt19937 random(7);
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
  for (int round = 0; round < 20; ++round) {
    std::shuffle(names.begin(), names.end(), random);
    symbols.Clear();
    for (const std::string& name : names) Add(name);
    for (const std::string& name : names) {
      uint32_t found = symbols.FindRecord(name);
      ASSERT_NE(found, kNoRecord) << testing::PrintToString(name);
      EXPECT_EQ(NameOf(found), name);
    }
    EXPECT_EQ(Walk(), sorted);
    CheckInvariants();
  }
}

// Names that share long prefixes and differ anywhere, in lengths around the
// eight-byte steps of the comparison, against a sorted reference: every key is
// found, absent neighbours are not, and the walk is in name order.
TEST_F(SymbolTableTest, LongSharedPrefixesAgainstReference) {
  std::mt19937 random(11);
  auto make = [&] {
    std::string name = (random() % 4 == 0) ? "" : "_ZN6halaaa";
    size_t extra = random() % 30;
    for (size_t i = 0; i < extra; ++i) name += "ab\0\xff"[random() % 4];
    return name;
  };
  std::set<std::string, bool (*)(const std::string&, const std::string&)> reference(
      [](const std::string& a, const std::string& b) { return Compare(a, b) < 0; });
  for (int i = 0; i < 5000; ++i) {
    std::string name = make();
    if (reference.insert(name).second) Add(name);
  }
  CheckInvariants();
  EXPECT_EQ(Walk(), std::vector<std::string>(reference.begin(), reference.end()));
  // A subset, in any order, sorts like the reference.
  std::vector<uint32_t> half;
  std::vector<std::string> expected;
  for (const std::string& name : reference) {
    if (random() % 2 != 0) continue;
    half.push_back(symbols.FindRecord(name));
    expected.push_back(name);
  }
  std::shuffle(half.begin(), half.end(), random);
  ASSERT_TRUE(symbols.SortByName(half));
  std::vector<std::string> sorted_half;
  for (uint32_t r : half) sorted_half.push_back(NameOf(r));
  EXPECT_EQ(sorted_half, expected);
  for (int i = 0; i < 5000; ++i) {
    std::string probe = make();
    uint32_t found = symbols.FindRecord(probe);
    EXPECT_EQ(found != kNoRecord, reference.count(probe) == 1) << testing::PrintToString(probe);
    if (found != kNoRecord) {
      EXPECT_EQ(NameOf(found), probe);
    }
  }
}

// The table keeps its own copy of every key, inline or (when long) outside
// the record; the caller's bytes may go away. Records never straddle blocks
// and never move. Long keys are found and sorted like short ones.
TEST(SymbolTableNames, KeysAreCopiedAndRecordsStayPut) {
  SymbolTable symbols;
  std::vector<std::pair<uint32_t, std::string>> made;
  std::mt19937 random(3);
  for (uint32_t length : {0u, 1u, 7u, 8u, 4096u, 4097u, 300000u, 5u, (1u << 20) + 3, 9u}) {
    std::string source(length, '\0');
    for (char& c : source) c = static_cast<char>(random());
    bool added = false;
    uint32_t record = symbols.FindOrAdd(source, &added);
    ASSERT_NE(record, kNoRecord);
    ASSERT_TRUE(added);
    made.emplace_back(record, source);
    std::fill(source.begin(), source.end(), 'x');
  }
  std::vector<const TrackedSymbol*> addresses;
  for (int i = 0; i < 200000; ++i) {  // fills several storage blocks
    std::string source(static_cast<size_t>(i % 61), static_cast<char>('a' + i % 26));
    source += std::to_string(i);
    bool added = false;
    made.emplace_back(symbols.FindOrAdd(source, &added), source);
    addresses.push_back(&symbols.At(made.back().first));
  }
  EXPECT_EQ(symbols.RecordCount(), made.size() + 1);
  for (size_t i = 0; i < made.size(); ++i) {
    const auto& [record, text] = made[i];
    const TrackedSymbol& r = symbols.At(record);
    ASSERT_EQ(r.name_length, text.size());
    ASSERT_EQ(std::string(r.name()), text);
    EXPECT_EQ(std::tuple(r.object, r.exported, r.class_flags, r.is_weak), std::tuple(nullptr, 0, 0, 0));
    if (i >= 10) {
      ASSERT_EQ(&r, addresses[i - 10]);
    }
    // Record and inline key lie in one block: the next record starts after both.
    if (i + 1 < made.size() && !r.name_outside && made[i + 1].first > record) {
      EXPECT_GE(uint64_t{made[i + 1].first} * 8, uint64_t{record} * 8 + sizeof(TrackedSymbol) + r.name_length);
    }
  }
  std::vector<uint32_t> first;
  std::vector<std::string> expected;
  for (size_t i = 0; i < 10; ++i) {
    const auto& [record, text] = made[i];
    EXPECT_EQ(symbols.FindRecord(text), record) << text.size();
    first.push_back(record);
    expected.push_back(text);
  }
  const auto less = [](const std::string& a, const std::string& b) { return Compare(a, b) < 0; };
  ASSERT_TRUE(symbols.SortByName(first));
  std::sort(expected.begin(), expected.end(), less);
  for (size_t i = 0; i < first.size(); ++i) {
    const TrackedSymbol& r = symbols.At(first[i]);
    EXPECT_EQ(std::string(r.name()), expected[i]) << i;
  }
  // All of them: more than a sort keeps on the heap.
  std::vector<std::string> all;
  for (const auto& entry : made) all.push_back(entry.second);
  std::sort(all.begin(), all.end(), less);
  std::vector<uint32_t> in_order = symbols.InNameOrder();
  ASSERT_EQ(in_order.size(), all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    const TrackedSymbol& r = symbols.At(in_order[i]);
    ASSERT_EQ(std::string(r.name()), all[i]) << i;
  }
}

}  // namespace
}  // namespace prepqdm
