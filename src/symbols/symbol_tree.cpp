// Red-black tree over TrackedSymbol records. Every leaf link is record 0, the
// tree's one black sentinel, so colour tests on a missing child need no
// check; the root's parent is record 0 too. The tree never allocates on
// Insert: callers get a record from Allocate, fill in the key, and hand it to
// Insert together with the parent and sign that FindRecord reported, so one
// descent per symbol is enough. Records are never removed before the whole
// tree is cleared.
#include "symbols/symbol_tree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "host/large_block.h"

namespace prepqdm {

// Plain lexicographic order on byte strings, bytes compared unsigned. (A zero
// byte met in both names compares equal like any other byte, so stopping there
// or not gives the same result.)
int CompareNames(const uint8_t* a, uint32_t a_length, const uint8_t* b, uint32_t b_length) {
  uint32_t common = std::min(a_length, b_length);
  if (common != 0) {
    int result = std::memcmp(a, b, common);
    if (result != 0) return result < 0 ? -1 : 1;
  }
  if (a_length == b_length) return 0;
  return a_length < b_length ? -1 : 1;
}

SymbolTree::SymbolTree() {
  Allocate(nullptr, 0);  // record 0, the sentinel: black, and all its links lead to itself
  if (!blocks_.empty()) At(kNoRecord).color = kBlack;
}

namespace {

// CompareNames for a descent: bytes before `start` are known to be equal, and
// `*common` receives the length of the equal run. Eight bytes at a time: the
// names of a big build share long prefixes (C++ namespaces).
inline int CompareFrom(const uint8_t* a, uint32_t a_length, const uint8_t* b, uint32_t b_length, uint32_t start,
                       uint32_t* common) {
  const uint32_t n = std::min(a_length, b_length);
  uint32_t i = start;
  for (; uint64_t{i} + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      *common = i + static_cast<uint32_t>(__builtin_clzll(x ^ y) / 8);
      return x < y ? -1 : 1;
    }
  }
  for (; i < n; ++i) {
    if (a[i] != b[i]) {
      *common = i;
      return a[i] < b[i] ? -1 : 1;
    }
  }
  *common = n;
  if (a_length == b_length) return 0;
  return a_length < b_length ? -1 : 1;
}

}  // namespace

uint32_t SymbolTree::FindRecord(const uint8_t* name, uint32_t length, uint32_t* parent, int* sign) const {
  uint32_t last = kNoRecord;
  int result = 0;
  uint32_t node = root;
  // Every key between the nearest bounds passed on the way down shares with
  // the sought key the shorter of the two prefixes it shares with them.
  uint32_t common_low = 0, common_high = 0;
  while (node != kNoRecord) {
    const TrackedSymbol& record = At(node);
    last = node;
    uint32_t common;
    result = CompareFrom(name, length, record.name(), record.name_length, std::min(common_low, common_high), &common);
    if (result == 0) break;
    if (result < 0) {
      common_high = common;
      node = record.left;
    } else {
      common_low = common;
      node = record.right;
    }
  }
  if (parent) *parent = last;
  if (sign) *sign = result;
  return node;
}

TrackedSymbol* SymbolTree::Find(const uint8_t* name, uint32_t length) {
  uint32_t record = FindRecord(name, length);
  return record == kNoRecord ? nullptr : &At(record);
}

void SymbolTree::RotateLeft(uint32_t x) {
  TrackedSymbol& rx = At(x);
  uint32_t y = rx.right;
  TrackedSymbol& ry = At(y);
  rx.right = ry.left;
  if (ry.left != kNoRecord) At(ry.left).parent = x;
  ry.parent = rx.parent;
  if (rx.parent == kNoRecord) {
    root = y;
  } else if (x == At(rx.parent).left) {
    At(rx.parent).left = y;
  } else {
    At(rx.parent).right = y;
  }
  ry.left = x;
  rx.parent = y;
}

void SymbolTree::RotateRight(uint32_t x) {
  TrackedSymbol& rx = At(x);
  uint32_t y = rx.left;
  TrackedSymbol& ry = At(y);
  rx.left = ry.right;
  if (ry.right != kNoRecord) At(ry.right).parent = x;
  ry.parent = rx.parent;
  if (rx.parent == kNoRecord) {
    root = y;
  } else if (x == At(rx.parent).right) {
    At(rx.parent).right = y;
  } else {
    At(rx.parent).left = y;
  }
  ry.right = x;
  rx.parent = y;
}

void SymbolTree::Insert(uint32_t record, uint32_t parent, int sign) {
  TrackedSymbol& r = At(record);
  r.color = kRed;
  r.left = r.right = kNoRecord;
  r.parent = parent;
  if (parent == kNoRecord) {
    root = record;
  } else if (sign < 0) {
    At(parent).left = record;
  } else {
    At(parent).right = record;
  }

  // Climb while a red record has a red parent. The parent is then not the
  // root (the root is black), so the grandparent exists.
  uint32_t z = record;
  while (At(z).parent != kNoRecord && At(At(z).parent).color == kRed) {
    uint32_t p = At(z).parent;
    uint32_t g = At(p).parent;
    if (p == At(g).left) {
      uint32_t uncle = At(g).right;
      if (At(uncle).color == kRed) {
        At(p).color = kBlack;
        At(uncle).color = kBlack;
        At(g).color = kRed;
        z = g;
        continue;
      }
      if (z == At(p).right) {
        z = p;
        RotateLeft(z);
        p = At(z).parent;
      }
      At(p).color = kBlack;
      At(g).color = kRed;
      RotateRight(g);
    } else {
      uint32_t uncle = At(g).left;
      if (At(uncle).color == kRed) {
        At(p).color = kBlack;
        At(uncle).color = kBlack;
        At(g).color = kRed;
        z = g;
        continue;
      }
      if (z == At(p).left) {
        z = p;
        RotateRight(z);
        p = At(z).parent;
      }
      At(p).color = kBlack;
      At(g).color = kRed;
      RotateLeft(g);
    }
  }
  At(root).color = kBlack;
}

uint32_t SymbolTree::First() const {
  uint32_t node = root;
  if (node == kNoRecord) return kNoRecord;
  while (At(node).left != kNoRecord) node = At(node).left;
  return node;
}

uint32_t SymbolTree::Next(uint32_t record) const {
  if (At(record).right != kNoRecord) {
    uint32_t node = At(record).right;
    while (At(node).left != kNoRecord) node = At(node).left;
    return node;
  }
  uint32_t child = record;
  uint32_t up = At(record).parent;
  while (up != kNoRecord && child == At(up).right) {
    child = up;
    up = At(up).parent;
  }
  return up;
}

// Records and keys live in the blocks; dropping them frees everything at once.
void SymbolTree::Clear() {
  root = kNoRecord;
  blocks_.resize(std::min<size_t>(blocks_.size(), 1));  // the sentinel's block stays
  long_names_.clear();
  if (blocks_.empty()) {
    next_unit_ = 0;
    record_count_ = 0;
  } else {
    next_unit_ = sizeof(TrackedSymbol) / 8;
    record_count_ = 1;
  }
}

void SymbolTree::BlockRelease::operator()(uint64_t* block) const {
  if (large) {
    FreeLargeBlock(block);
  } else {
    delete[] block;
  }
}

uint32_t SymbolTree::Allocate(const uint8_t* name, uint32_t length) {
  constexpr uint64_t kUnit = 8;
  constexpr uint64_t kBlockUnits = uint64_t{1} << kBlockBits;
  static_assert(kBlockUnits * kUnit == kLargeBlockBytes);
  static_assert(kFirstBlockUnits * kUnit >= sizeof(TrackedSymbol) + kLongestInlineName + kUnit);
  const bool outside = length > kLongestInlineName;
  const uint64_t key_bytes = outside ? sizeof(const uint8_t*) : length;
  const uint64_t units = (sizeof(TrackedSymbol) + key_bytes + kUnit - 1) / kUnit;
  // A record never straddles two blocks.
  uint64_t unit = next_unit_;
  const uint64_t room = (unit >> kBlockBits) == 0 ? kFirstBlockUnits : kBlockUnits;
  if ((unit & kBlockMask) + units > room) unit = (unit | kBlockMask) + 1;
  if (unit + units > (uint64_t{1} << 32)) return kNoRecord;  // numbers are 32-bit
  try {
    while (blocks_.size() <= (unit >> kBlockBits)) {
      const bool large = !blocks_.empty();
      uint64_t* block = large ? static_cast<uint64_t*>(AllocateLargeBlock()) : new (std::nothrow) uint64_t[kFirstBlockUnits];
      if (block == nullptr) return kNoRecord;
      blocks_.emplace_back(block, BlockRelease{large});
    }
    const uint8_t* key = name;
    if (outside) {
      uint8_t* copy = new (std::nothrow) uint8_t[length];
      if (copy == nullptr) return kNoRecord;
      long_names_.emplace_back(copy);
      std::memcpy(copy, name, length);
      key = copy;
    }
    uint32_t number = static_cast<uint32_t>(unit);
    TrackedSymbol* record = new (&At(number)) TrackedSymbol{};
    record->name_length = length;
    record->name_outside = outside;
    uint8_t* after = reinterpret_cast<uint8_t*>(record + 1);
    if (outside) {
      std::memcpy(after, &key, sizeof key);
    } else if (length != 0) {
      std::memcpy(after, name, length);
    }
    next_unit_ = unit + units;
    ++record_count_;
    return number;
  } catch (const std::bad_alloc&) {
    return kNoRecord;
  }
}

}  // namespace prepqdm
