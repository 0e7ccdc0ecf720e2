// The program-wide ordered table of global names: a red-black tree whose
// nodes are the TrackedSymbol records, with one shared black sentinel leaf.
// Keys are byte strings ordered bytewise (unsigned), a prefix before its
// extensions. There is no removal.
//
// Records are numbered (0 is the sentinel) and kept in fixed-size blocks, so
// their addresses never change; the tree also keeps a copy of every key.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "symbols/tracked_symbol.h"

namespace prepqdm {

// Name order shared by the tree and the export tables.
int CompareNames(const uint8_t* a, uint32_t a_length, const uint8_t* b, uint32_t b_length);

struct SymbolTree {
  uint32_t root = kNoRecord;
  bool verbose = false;

  SymbolTree();
  SymbolTree(const SymbolTree&) = delete;
  SymbolTree& operator=(const SymbolTree&) = delete;

  TrackedSymbol& At(uint32_t record) { return blocks_[record >> kBlockBits][record & kBlockMask]; }
  const TrackedSymbol& At(uint32_t record) const { return blocks_[record >> kBlockBits][record & kBlockMask]; }
  // Number of records made so far, the sentinel included.
  uint32_t RecordCount() const { return next_record_; }

  // The number of the record with this key, or kNoRecord. On request also
  // yields the last record visited (kNoRecord for an empty tree) and the sign
  // of the last comparison.
  uint32_t FindRecord(const uint8_t* name, uint32_t length, uint32_t* parent = nullptr, int* sign = nullptr) const;
  // The record with this key, or null.
  TrackedSymbol* Find(const uint8_t* name, uint32_t length);
  // Links a new record (name set, key absent) below `parent` on the side of
  // `sign` and rebalances.
  void Insert(uint32_t record, uint32_t parent, int sign);
  uint32_t First() const;
  uint32_t Next(uint32_t record) const;
  void Clear();

  // A new zeroed record for a caller that creates one, or kNoRecord when
  // memory is exhausted.
  uint32_t Allocate();
  // A lasting copy of a key, or null when memory is exhausted.
  const uint8_t* StoreName(const uint8_t* bytes, uint32_t length);

 private:
  static constexpr uint32_t kBlockBits = 14;
  static constexpr uint32_t kBlockMask = (1u << kBlockBits) - 1;
  static constexpr uint32_t kNameBlockSize = 1u << 20;

  std::vector<std::unique_ptr<TrackedSymbol[]>> blocks_;
  uint32_t next_record_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> name_blocks_;
  uint8_t* name_free_ = nullptr;
  uint32_t name_room_ = 0;

  void RotateLeft(uint32_t x);
  void RotateRight(uint32_t x);
};

}  // namespace prepqdm
