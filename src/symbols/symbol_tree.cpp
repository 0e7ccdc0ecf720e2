// Red-black tree over TrackedSymbol records. Every leaf link points at the
// tree's one black sentinel, so colour tests on a missing child need no null
// check; the root alone has a null parent. The tree never allocates: callers
// get a record from Allocate, fill in the key, and hand it to Insert together
// with the parent and sign that Find reported, so one descent per symbol is
// enough. Records are never removed before the whole tree is cleared.
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
  sentinel.color = kBlack;
  sentinel.parent = sentinel.left = sentinel.right = &sentinel;
}

// Two keys whose prefixes differ are ordered as their prefixes are: the
// first differing prefix byte is either a name byte in both, or the zero pad
// of a name that is a prefix of the other (which sorts first).
uint64_t KeyPrefix(const uint8_t* name, uint32_t length) {
  uint8_t bytes[8] = {};
  if (length != 0) std::memcpy(bytes, name, std::min<uint32_t>(length, 8));
  uint64_t prefix = 0;
  for (uint8_t b : bytes) prefix = prefix << 8 | b;
  return prefix;
}

TrackedSymbol* SymbolTree::Find(const uint8_t* name, uint32_t length, TrackedSymbol** parent, int* sign) const {
  TrackedSymbol* last = nullptr;
  int result = 0;
  TrackedSymbol* node = root;
  const uint64_t prefix = KeyPrefix(name, length);
  while (node != nullptr && node != &sentinel) {
    last = node;
    if (prefix != node->key_prefix) {
      result = prefix < node->key_prefix ? -1 : 1;
    } else {
      result = CompareNames(name, length, node->name, node->name_length);
    }
    if (result == 0) break;
    node = result < 0 ? node->left : node->right;
  }
  if (parent) *parent = last;
  if (sign) *sign = result;
  return (node != nullptr && node != &sentinel) ? node : nullptr;
}

void SymbolTree::RotateLeft(TrackedSymbol* x) {
  TrackedSymbol* y = x->right;
  x->right = y->left;
  if (y->left != &sentinel) y->left->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    root = y;
  } else if (x == x->parent->left) {
    x->parent->left = y;
  } else {
    x->parent->right = y;
  }
  y->left = x;
  x->parent = y;
}

void SymbolTree::RotateRight(TrackedSymbol* x) {
  TrackedSymbol* y = x->left;
  x->left = y->right;
  if (y->right != &sentinel) y->right->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    root = y;
  } else if (x == x->parent->right) {
    x->parent->right = y;
  } else {
    x->parent->left = y;
  }
  y->right = x;
  x->parent = y;
}

void SymbolTree::Insert(TrackedSymbol* record, TrackedSymbol* parent, int sign) {
  record->key_prefix = KeyPrefix(record->name, record->name_length);
  record->color = kRed;
  record->left = record->right = &sentinel;
  record->parent = parent;
  if (parent == nullptr) {
    root = record;
  } else if (sign < 0) {
    parent->left = record;
  } else {
    parent->right = record;
  }

  // Climb while a red record has a red parent. The parent is then not the
  // root (the root is black), so the grandparent exists.
  TrackedSymbol* z = record;
  while (z->parent != nullptr && z->parent->color == kRed) {
    TrackedSymbol* p = z->parent;
    TrackedSymbol* g = p->parent;
    if (p == g->left) {
      TrackedSymbol* uncle = g->right;
      if (uncle->color == kRed) {
        p->color = kBlack;
        uncle->color = kBlack;
        g->color = kRed;
        z = g;
        continue;
      }
      if (z == p->right) {
        z = p;
        RotateLeft(z);
        p = z->parent;
      }
      p->color = kBlack;
      g->color = kRed;
      RotateRight(g);
    } else {
      TrackedSymbol* uncle = g->left;
      if (uncle->color == kRed) {
        p->color = kBlack;
        uncle->color = kBlack;
        g->color = kRed;
        z = g;
        continue;
      }
      if (z == p->left) {
        z = p;
        RotateRight(z);
        p = z->parent;
      }
      p->color = kBlack;
      g->color = kRed;
      RotateLeft(g);
    }
  }
  root->color = kBlack;
}

TrackedSymbol* SymbolTree::First() const {
  if (root == nullptr) return nullptr;
  TrackedSymbol* node = root;
  while (node->left != &sentinel) node = node->left;
  return node;
}

TrackedSymbol* SymbolTree::Next(const TrackedSymbol* record) const {
  if (record->right != &sentinel) {
    TrackedSymbol* node = record->right;
    while (node->left != &sentinel) node = node->left;
    return node;
  }
  const TrackedSymbol* child = record;
  TrackedSymbol* up = record->parent;
  while (up != nullptr && child == up->right) {
    child = up;
    up = up->parent;
  }
  return up;
}

// Records live in the deque; dropping it frees them all at once.
void SymbolTree::Clear() {
  root = nullptr;
  storage_.clear();
}

// Null when memory is exhausted; callers report that as a failed record.
TrackedSymbol* SymbolTree::Allocate() {
  try {
    return &storage_.emplace_back();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace prepqdm
