// Red-black tree over TrackedSymbol records. Every leaf link is record 0, the
// tree's one black sentinel, so colour tests on a missing child need no
// check; the root's parent is record 0 too. The tree never allocates on
// Insert: callers get a record from Allocate, fill in the key, and hand it to
// Insert together with the parent and sign that FindRecord reported, so one
// descent per symbol is enough. Records are never removed before the whole
// tree is cleared.
#include "symbols/symbol_tree.h"

#include <algorithm>
#include <cstring>
#include <new>

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
  Allocate();  // record 0, the sentinel: black, and all its links lead to itself
  if (!blocks_.empty()) At(kNoRecord).color = kBlack;
}

uint32_t SymbolTree::FindRecord(const uint8_t* name, uint32_t length, uint32_t* parent, int* sign) const {
  uint32_t last = kNoRecord;
  int result = 0;
  uint32_t node = root;
  while (node != kNoRecord) {
    const TrackedSymbol& record = At(node);
    last = node;
    result = CompareNames(name, length, record.name, record.name_length);
    if (result == 0) break;
    node = result < 0 ? record.left : record.right;
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

// Records and names live in the blocks; dropping them frees everything at once.
void SymbolTree::Clear() {
  root = kNoRecord;
  blocks_.resize(std::min<size_t>(blocks_.size(), 1));  // the sentinel's block stays
  next_record_ = blocks_.empty() ? 0 : 1;
  name_blocks_.clear();
  name_free_ = nullptr;
  name_room_ = 0;
}

uint32_t SymbolTree::Allocate() {
  if (next_record_ == UINT32_MAX) return kNoRecord;
  if ((next_record_ & kBlockMask) == 0) {
    TrackedSymbol* block = new (std::nothrow) TrackedSymbol[kBlockMask + 1];
    if (block == nullptr) return kNoRecord;
    try {
      blocks_.emplace_back(block);
    } catch (const std::bad_alloc&) {
      delete[] block;
      return kNoRecord;
    }
  }
  uint32_t record = next_record_++;
  At(record) = TrackedSymbol{};
  return record;
}

// Names are packed into large blocks; a name longer than a quarter block gets
// a block of its own, so little room is ever wasted at a block's end.
const uint8_t* SymbolTree::StoreName(const uint8_t* bytes, uint32_t length) {
  uint8_t* at;
  if (length > kNameBlockSize / 4) {
    at = new (std::nothrow) uint8_t[length];
    if (at == nullptr) return nullptr;
    try {
      // Kept in front so the open block stays the last one.
      name_blocks_.emplace(name_blocks_.begin(), at);
    } catch (const std::bad_alloc&) {
      delete[] at;
      return nullptr;
    }
  } else {
    if (length > name_room_ || name_free_ == nullptr) {
      uint8_t* block = new (std::nothrow) uint8_t[kNameBlockSize];
      if (block == nullptr) return nullptr;
      try {
        name_blocks_.emplace_back(block);
      } catch (const std::bad_alloc&) {
        delete[] block;
        return nullptr;
      }
      name_free_ = block;
      name_room_ = kNameBlockSize;
    }
    at = name_free_;
    name_free_ += length;
    name_room_ -= length;
  }
  if (length != 0) std::memcpy(at, bytes, length);
  return at;
}

}  // namespace prepqdm
