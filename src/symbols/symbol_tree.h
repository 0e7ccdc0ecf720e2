// The program-wide ordered table of global names: a red-black tree whose
// nodes are the TrackedSymbol records, with one shared black sentinel leaf.
// Keys are byte strings ordered bytewise (unsigned), a prefix before its
// extensions. There is no removal.
#pragma once
#include <cstdint>
#include <deque>

#include "symbols/tracked_symbol.h"

namespace prepqdm {

// Name order shared by the tree and the export tables.
int CompareNames(const uint8_t* a, uint32_t a_length, const uint8_t* b, uint32_t b_length);

// A key's first eight bytes as a big-endian number, zero-padded: keys with
// different prefixes compare as their prefixes do.
uint64_t KeyPrefix(const uint8_t* name, uint32_t length);

struct SymbolTree {
  TrackedSymbol sentinel;
  TrackedSymbol* root = nullptr;
  bool verbose = false;

  SymbolTree();
  SymbolTree(const SymbolTree&) = delete;
  SymbolTree& operator=(const SymbolTree&) = delete;

  // The record with this key, or null. On request also yields the last record
  // visited (null for an empty tree) and the sign of the last comparison.
  TrackedSymbol* Find(const uint8_t* name, uint32_t length, TrackedSymbol** parent = nullptr,
                      int* sign = nullptr) const;
  // Links a new record (name set, key absent) below `parent` on the side of
  // `sign` and rebalances.
  void Insert(TrackedSymbol* record, TrackedSymbol* parent, int sign);
  TrackedSymbol* First() const;
  TrackedSymbol* Next(const TrackedSymbol* record) const;
  void Clear();

  // Record storage for callers that create records (stable addresses).
  TrackedSymbol* Allocate();

 private:
  std::deque<TrackedSymbol> storage_;
  void RotateLeft(TrackedSymbol* x);
  void RotateRight(TrackedSymbol* x);
};

}  // namespace prepqdm
