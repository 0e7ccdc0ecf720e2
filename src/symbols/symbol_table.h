// The run's table of global names: TrackedSymbol records, found by
// name through a hash index, and put in name order only when asked. Keys are
// byte strings; name order is bytewise (unsigned), a prefix before its
// extensions. There is no removal.
//
// Tracking only ever looks names up, so the cost of entering a name does not
// depend on the names met before it: one visit to the index, whose buckets
// are a cache line each, and, when a name is already there, one to its
// record. The few stages that walk names in order sort the record numbers
// they need once (SortByName).
//
// Records are numbered (0 is none) and kept in large blocks, each followed
// by its key, so their addresses never change and a lookup finds record and
// key together.
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "symbols/tracked_symbol.h"

namespace prepqdm {

// Name order shared by the table and the export tables.
int CompareNames(std::string_view a, std::string_view b);

struct SymbolTable {

  SymbolTable();
  SymbolTable(const SymbolTable&) = delete;
  SymbolTable& operator=(const SymbolTable&) = delete;

  TrackedSymbol& At(uint32_t record) {
    return *reinterpret_cast<TrackedSymbol*>(blocks_[record >> kBlockBits].get() + (record & kBlockMask));
  }
  const TrackedSymbol& At(uint32_t record) const {
    return *reinterpret_cast<const TrackedSymbol*>(blocks_[record >> kBlockBits].get() + (record & kBlockMask));
  }
  // Number of records made so far, record 0 included.
  uint32_t RecordCount() const { return record_count_; }

  // The number of the record with this key, or kNoRecord.
  uint32_t FindRecord(std::string_view name) const;
  // The record with this key, or null.
  TrackedSymbol* Find(std::string_view name);
  // The number of the record with this key. When there is none, a record is
  // made, zeroed but for its key (a copy of the given bytes), and *made is
  // set. kNoRecord when memory is exhausted.
  uint32_t FindOrAdd(std::string_view name, bool* made);
  // The same with the name's HashName, for a caller that took it early to
  // Prefetch the name's place.
  uint32_t FindOrAdd(std::string_view name, uint32_t hash, bool* made);
  static uint32_t HashName(std::string_view name);
  // Starts fetching where a name of this hash would be found.
  void Prefetch(uint32_t hash) const {
    if (buckets_) __builtin_prefetch(buckets_.get() + (hash & bucket_mask_));
  }

  // Frees the index once no more names will be looked up (the writer only
  // reads records): in a big run it is a tenth of the table. A lookup after
  // this still works: FindOrAdd builds the index again, FindRecord reads
  // every record.
  void DropIndex();

  // Calls visit(number) for every record, in the order they were made.
  template <typename Visit>
  void ForEachRecord(Visit&& visit) const {
    uint64_t unit = kFirstRecordUnit;
    for (size_t b = 0; b < blocks_.size(); ++b, unit = 0) {
      const uint64_t base = uint64_t{b} << kBlockBits;
      for (; unit < block_used_[b]; unit += UnitsOf(At(static_cast<uint32_t>(base + unit))))
        visit(static_cast<uint32_t>(base + unit));
    }
  }
  // Puts record numbers in name order. False when memory is exhausted; the
  // numbers are then left in some order.
  bool SortByName(std::vector<uint32_t>& records) const;
  // Every record, in name order; empty when memory is exhausted.
  std::vector<uint32_t> InNameOrder() const;
  void Clear();

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
  static constexpr uint64_t kUnit = 8;
  // Record 0 stands for none and is not a symbol's: records start after it.
  static constexpr uint64_t kFirstRecordUnit = sizeof(TrackedSymbol) / kUnit;

  static uint64_t UnitsOf(const TrackedSymbol& record) {
    const uint64_t key_bytes = record.name_outside ? sizeof(const uint8_t*) : record.name_length;
    return (sizeof(TrackedSymbol) + key_bytes + kUnit - 1) / kUnit;
  }

  struct BlockRelease {
    bool large = false;
    void operator()(uint64_t* block) const;
  };
  std::vector<std::unique_ptr<uint64_t, BlockRelease>> blocks_;
  std::vector<uint32_t> block_used_;  // units of each block that hold records
  uint64_t next_unit_ = 0;            // of the whole storage
  uint32_t record_count_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> long_names_;

  // The index: open addressing over buckets of one cache line, each holding
  // record numbers with one byte of their hash beside them, so a bucket
  // tells without visiting a record whether it may hold the name. A full
  // bucket passes names on to the next.
  static constexpr uint32_t kBucketSlots = 12;
  struct alignas(64) Bucket {
    uint32_t record[kBucketSlots];
    uint8_t tag[kBucketSlots];
    uint32_t used;
  };
  static_assert(sizeof(Bucket) == 64);
  struct IndexRelease {
    size_t large_blocks;  // 0: allocated with new
    void operator()(Bucket* buckets) const;
  };
  std::unique_ptr<Bucket, IndexRelease> buckets_{nullptr, IndexRelease{0}};
  uint64_t bucket_mask_ = 0;  // bucket count - 1; the count is a power of two
  uint64_t indexed_ = 0;

  // Where `name` is, or where it would go: the record's number (kNoRecord
  // when absent), and the bucket that holds it or would take it.
  struct Probe {
    uint32_t record;
    uint64_t bucket;
  };
  Probe Look(std::string_view name, uint32_t hash) const;
  bool GrowIndex();
  uint32_t Allocate(std::string_view name, uint32_t hash);
};

}  // namespace prepqdm
