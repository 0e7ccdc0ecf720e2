#include "symbols/symbol_tree.h"

namespace prepqdm {

int CompareNames(const uint8_t* a, uint32_t a_length, const uint8_t* b, uint32_t b_length) {
  (void)a; (void)a_length; (void)b; (void)b_length;
  return 0;  // placeholder
}

SymbolTree::SymbolTree() {
  sentinel.color = kBlack;
  sentinel.parent = sentinel.left = sentinel.right = &sentinel;
}

TrackedSymbol* SymbolTree::Find(const uint8_t*, uint32_t, TrackedSymbol** parent, int* sign) const {
  if (parent) *parent = nullptr;
  if (sign) *sign = 0;
  return nullptr;  // placeholder
}

void SymbolTree::Insert(TrackedSymbol*, TrackedSymbol*, int) {}
TrackedSymbol* SymbolTree::First() const { return nullptr; }
TrackedSymbol* SymbolTree::Next(const TrackedSymbol*) const { return nullptr; }
void SymbolTree::Clear() {
  root = nullptr;
  storage_.clear();
}
TrackedSymbol* SymbolTree::Allocate() { return &storage_.emplace_back(); }
void SymbolTree::RotateLeft(TrackedSymbol*) {}
void SymbolTree::RotateRight(TrackedSymbol*) {}

}  // namespace prepqdm
