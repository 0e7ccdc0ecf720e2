// The program-wide ordered table of global names: a red-black tree whose
// nodes are the TrackedSymbol records, with one shared black sentinel leaf.
// Keys are byte strings ordered bytewise (unsigned), a prefix before its
// extensions. There is no removal.
//
// Records are numbered (0 is the sentinel) and kept in large blocks, each
// followed by its key, so their addresses never change and a lookup finds
// record and key together.
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

  TrackedSymbol& At(uint32_t record) {
    return *reinterpret_cast<TrackedSymbol*>(blocks_[record >> kBlockBits].get() + (record & kBlockMask));
  }
  const TrackedSymbol& At(uint32_t record) const {
    return *reinterpret_cast<const TrackedSymbol*>(blocks_[record >> kBlockBits].get() + (record & kBlockMask));
  }
  // Number of records made so far, the sentinel included.
  uint32_t RecordCount() const { return record_count_; }

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

  // A new record, zeroed but for its key, a copy of the given bytes; for a
  // caller that creates one. kNoRecord when memory is exhausted.
  uint32_t Allocate(const uint8_t* name, uint32_t length);

 private:
  // Storage comes in blocks of 2^18 eight-byte units; a record number is the
  // index of its first unit.
  // 2 MiB blocks. All but the first ask for huge pages: lookups in a big
  // table land all over it. The first is only 64 KiB (the rest of its
  // numbers go unused), so a small run stays small.
  static constexpr uint32_t kBlockBits = 18;
  static constexpr uint32_t kFirstBlockUnits = 8192;
  static constexpr uint32_t kBlockMask = (1u << kBlockBits) - 1;
  static constexpr uint32_t kLongestInlineName = 4096;

  struct BlockRelease {
    bool large = false;
    void operator()(uint64_t* block) const;
  };
  std::vector<std::unique_ptr<uint64_t, BlockRelease>> blocks_;
  uint64_t next_unit_ = 0;  // of the whole storage
  uint32_t record_count_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> long_names_;

  void RotateLeft(uint32_t x);
  void RotateRight(uint32_t x);
};

}  // namespace prepqdm
