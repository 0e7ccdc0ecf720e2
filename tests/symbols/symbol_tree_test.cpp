// Symbol tree: key order, red-black invariants after bulk inserts in several
// orders, and in-order walks.
#include "symbols/symbol_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace prepqdm {
namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

int Compare(const std::string& a, const std::string& b) {
  return CompareNames(Bytes(a), static_cast<uint32_t>(a.size()), Bytes(b), static_cast<uint32_t>(b.size()));
}

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

class TreeTest : public ::testing::Test {
 protected:
  SymbolTree tree;
  std::vector<std::string> names;  // owns the key bytes (reserved: no moves)

  TrackedSymbol* Add(const std::string& name) {
    names.push_back(name);
    const std::string& key = names.back();
    TrackedSymbol* parent;
    int sign;
    EXPECT_EQ(tree.Find(Bytes(key), static_cast<uint32_t>(key.size()), &parent, &sign), nullptr) << key;
    TrackedSymbol* record = tree.Allocate();
    record->name = Bytes(key);
    record->name_length = static_cast<uint32_t>(key.size());
    tree.Insert(record, parent, sign);
    return record;
  }

  std::vector<std::string> Walk() const {
    std::vector<std::string> out;
    for (TrackedSymbol* r = tree.First(); r; r = tree.Next(r))
      out.emplace_back(reinterpret_cast<const char*>(r->name), r->name_length);
    return out;
  }

  // Returns the black height of the subtree, checking colours, order bounds
  // and parent links on the way.
  int Check(const TrackedSymbol* node, const TrackedSymbol* parent) {
    if (node == &tree.sentinel) return 1;
    EXPECT_EQ(node->parent, parent);
    if (node->color == kRed) {
      EXPECT_EQ(node->left->color, kBlack);
      EXPECT_EQ(node->right->color, kBlack);
    }
    if (node->left != &tree.sentinel) {
      EXPECT_LT(CompareNames(node->left->name, node->left->name_length, node->name, node->name_length), 0);
    }
    if (node->right != &tree.sentinel) {
      EXPECT_GT(CompareNames(node->right->name, node->right->name_length, node->name, node->name_length), 0);
    }
    int left = Check(node->left, node);
    int right = Check(node->right, node);
    EXPECT_EQ(left, right);
    return left + (node->color == kBlack ? 1 : 0);
  }

  void CheckInvariants() {
    ASSERT_NE(tree.root, nullptr);
    EXPECT_EQ(tree.root->color, kBlack);
    Check(tree.root, nullptr);
    EXPECT_EQ(tree.sentinel.color, kBlack);
    EXPECT_EQ(tree.sentinel.parent, &tree.sentinel);
    EXPECT_EQ(tree.sentinel.left, &tree.sentinel);
    EXPECT_EQ(tree.sentinel.right, &tree.sentinel);
  }

  void SetUp() override { names.reserve(4096); }
};

TEST_F(TreeTest, EmptyTree) {
  TrackedSymbol* parent = &tree.sentinel;
  int sign = 7;
  EXPECT_EQ(tree.First(), nullptr);
  EXPECT_EQ(tree.Find(Bytes("a"), 1, &parent, &sign), nullptr);
  EXPECT_EQ(parent, nullptr);
  EXPECT_EQ(sign, 0);
}

TEST_F(TreeTest, SmallWalkAndPrefixLookups) {
  for (const char* n : {"b", "a", "c", "ab", ""}) Add(n);
  EXPECT_EQ(Walk(), (std::vector<std::string>{"", "a", "ab", "b", "c"}));
  TrackedSymbol* ab = tree.Find(Bytes("abc"), 2);
  ASSERT_NE(ab, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ab->name), ab->name_length), "ab");
  EXPECT_EQ(tree.Find(Bytes("abc"), 3), nullptr);
  TrackedSymbol* empty = tree.Find(Bytes("x"), 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->name_length, 0u);
  TrackedSymbol* last = tree.Find(Bytes("c"), 1);
  EXPECT_EQ(tree.Next(last), nullptr);
  CheckInvariants();
}

TEST_F(TreeTest, InvariantsHoldForBulkInserts) {
  auto key = [](int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "s%05d", i);
    return std::string(buf);
  };
  std::vector<int> ascending(1000), descending, shuffled;
  for (int i = 0; i < 1000; ++i) ascending[i] = i;
  descending.assign(ascending.rbegin(), ascending.rend());
  shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));
  for (const auto* order : {&ascending, &descending, &shuffled}) {
    tree.Clear();
    names.clear();
    for (int i : *order) Add(key(i));
    CheckInvariants();
    std::vector<std::string> expected;
    for (int i = 0; i < 1000; ++i) expected.push_back(key(i));
    EXPECT_EQ(Walk(), expected);
    for (int i : {0, 499, 999}) {
      TrackedSymbol* found = tree.Find(Bytes(key(i)), 6);
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->name, Bytes(names[std::find(order->begin(), order->end(), i) - order->begin()]));
    }
  }
}

}  // namespace
}  // namespace prepqdm
