// The symbol table: records in large blocks, a hash index over them, and a
// sort for the stages that want names in order. The index never allocates
// per name: it doubles when three quarters of its slots are taken and is
// then refilled from the hashes kept in the records, in storage order.
#include "symbols/symbol_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "host/large_block.h"

namespace prepqdm {

// Plain lexicographic order on byte strings, bytes compared unsigned. (A zero
// byte met in both names compares equal like any other byte, so stopping there
// or not gives the same result.)
int CompareNames(std::string_view a, std::string_view b) {
  // std::char_traits<char> compares as unsigned char.
  const int result = a.compare(b);
  return result < 0 ? -1 : result > 0 ? 1 : 0;
}

namespace {

inline uint64_t Load64(const void* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

}  // namespace

// Eight bytes at a time, then a full avalanche: the bucket comes from the low
// bits and the tag from the high ones, and names of a big build differ
// anywhere (often only near the end).
uint32_t SymbolTable::HashName(std::string_view name) {
  const uint32_t length = static_cast<uint32_t>(name.size());
  uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t{length} * 0xC2B2AE3D27D4EB4Full);
  uint32_t i = 0;
  for (; length - i >= 8; i += 8) {
    h = (h ^ Load64(name.data() + i)) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  if (i < length) {
    uint64_t tail = 0;
    std::memcpy(&tail, name.data() + i, length - i);
    h = (h ^ tail) * 0xFF51AFD7ED558CCDull;
  }
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return static_cast<uint32_t>(h);
}

namespace {

inline uint8_t TagOf(uint32_t hash) { return static_cast<uint8_t>(hash >> 24); }

}  // namespace

SymbolTable::SymbolTable() {
  Allocate({}, 0);  // record 0, which stands for none
}

SymbolTable::Probe SymbolTable::Look(std::string_view name, uint32_t hash) const {
  const Bucket* buckets = buckets_.get();
  if (buckets == nullptr) return {kNoRecord, 0};
  const uint8_t tag = TagOf(hash);
  for (uint64_t b = hash & bucket_mask_;; b = (b + 1) & bucket_mask_) {
    const Bucket& bucket = buckets[b];
    for (uint32_t i = 0; i < bucket.used; ++i) {
      if (bucket.tag[i] != tag) continue;
      const TrackedSymbol& record = At(bucket.record[i]);
      if (record.name_hash == hash && record.name() == name) return {bucket.record[i], b};
    }
    // The index always keeps a free slot, so some bucket ends the search.
    if (bucket.used < kBucketSlots) return {kNoRecord, b};
  }
}

uint32_t SymbolTable::FindRecord(std::string_view name) const {
  const uint32_t hash = HashName(name);
  if (buckets_ == nullptr && indexed_ != 0) {
    // The index was dropped: still right, if slow.
    uint32_t found = kNoRecord;
    ForEachRecord([&](uint32_t number) {
      const TrackedSymbol& record = At(number);
      if (found == kNoRecord && record.name_hash == hash && record.name() == name) found = number;
    });
    return found;
  }
  return Look(name, hash).record;
}

TrackedSymbol* SymbolTable::Find(std::string_view name) {
  uint32_t record = FindRecord(name);
  return record == kNoRecord ? nullptr : &At(record);
}

namespace {

template <typename Bucket>
void Place(Bucket* buckets, uint64_t mask, uint32_t record, uint32_t hash) {
  uint64_t b = hash & mask;
  while (buckets[b].used == std::size(buckets[b].record)) b = (b + 1) & mask;
  Bucket& bucket = buckets[b];
  bucket.record[bucket.used] = record;
  bucket.tag[bucket.used] = TagOf(hash);
  ++bucket.used;
}

}  // namespace

uint32_t SymbolTable::FindOrAdd(std::string_view name, bool* made) { return FindOrAdd(name, HashName(name), made); }

uint32_t SymbolTable::FindOrAdd(std::string_view name, uint32_t hash, bool* made) {
  *made = false;
  if (buckets_ == nullptr && indexed_ != 0 && !GrowIndex()) return kNoRecord;
  Probe probe = Look(name, hash);
  if (probe.record != kNoRecord) return probe.record;
  const uint64_t slots = buckets_ ? (bucket_mask_ + 1) * kBucketSlots : 0;
  bool grown = false;
  if ((indexed_ + 1) * 4 > slots * 3) {
    grown = GrowIndex();
    // Without a bigger index, the last free slot stays free.
    if (!grown && indexed_ + 2 > slots) return kNoRecord;
  }
  uint32_t number = Allocate(name, hash);
  if (number == kNoRecord) return kNoRecord;
  if (grown) {
    Place(buckets_.get(), bucket_mask_, number, hash);
  } else {
    Bucket& bucket = buckets_.get()[probe.bucket];
    bucket.record[bucket.used] = number;
    bucket.tag[bucket.used] = TagOf(hash);
    ++bucket.used;
  }
  ++indexed_;
  *made = true;
  return number;
}

void SymbolTable::IndexRelease::operator()(Bucket* buckets) const {
  if (large_blocks != 0) {
    FreeLargeBlocks(buckets, large_blocks);
  } else {
    delete[] buckets;
  }
}

void SymbolTable::DropIndex() {
  buckets_.reset();
  bucket_mask_ = 0;
}

bool SymbolTable::GrowIndex() {
  constexpr uint64_t kFirstBuckets = 64;  // 4 KiB: a small run stays small
  uint64_t count = buckets_ ? (bucket_mask_ + 1) * 2 : kFirstBuckets;
  // Rebuilt after a drop: as big as the records need.
  while (!buckets_ && (indexed_ + 1) * 4 > count * kBucketSlots * 3) count *= 2;
  const uint64_t bytes = count * sizeof(Bucket);
  if (count > (uint64_t{1} << 32)) return false;
  Bucket* buckets = nullptr;
  IndexRelease release{0};
  if (bytes >= kLargeBlockBytes) {
    release.large_blocks = bytes / kLargeBlockBytes;
    buckets = static_cast<Bucket*>(AllocateLargeBlocks(release.large_blocks));
  } else {
    buckets = new (std::nothrow) Bucket[count]();
  }
  if (buckets == nullptr) return false;
  std::unique_ptr<Bucket, IndexRelease> grown(buckets, release);
  // Storage order reads the records (and their kept hashes) front to back.
  const uint64_t mask = count - 1;
  ForEachRecord([&](uint32_t number) { Place(buckets, mask, number, At(number).name_hash); });
  buckets_ = std::move(grown);
  bucket_mask_ = mask;
  return true;
}

namespace {

// A record's name from `depth` on, as sorting sees it: the next eight bytes,
// as a big-endian number, zero past the end of the name. Twelve bytes, so
// that sorting a whole big table needs little room beside it.
struct SortItem {
  uint32_t key_high;
  uint32_t key_low;
  uint32_t record;
  uint64_t Key() const { return (uint64_t{key_high} << 32) | key_low; }
};

// Fills in the key; returns the bytes of the name left after it (0 when the
// name ends inside it).
inline uint64_t FillKey(SortItem& item, const TrackedSymbol& record, uint64_t depth) {
  const uint64_t left = record.name_length > depth ? record.name_length - depth : 0;
  uint64_t key = 0;
  if (left >= 8) {
    key = Load64(record.name_bytes() + depth);
  } else if (left != 0) {
    std::memcpy(&key, record.name_bytes() + depth, left);
  }
  if constexpr (std::endian::native == std::endian::little) key = __builtin_bswap64(key);
  item.key_high = static_cast<uint32_t>(key >> 32);
  item.key_low = static_cast<uint32_t>(key);
  return left > 8 ? left - 8 : 0;
}

inline bool KeyLess(const SortItem& a, const SortItem& b) { return a.Key() < b.Key(); }

inline unsigned Digit(const SortItem& item, unsigned byte) {
  return static_cast<unsigned>(item.Key() >> (56 - 8 * byte)) & 0xFF;
}

// Sorts by key in place, one byte of the keys at a time from the most
// significant (each item moves once per byte, straight to its bucket), down
// to short ranges, which a comparison sort finishes.
void SortByKey(SortItem* items, size_t count, unsigned byte = 0) {
  constexpr size_t kComparisonSort = 48;
  for (;; ++byte) {
    if (count <= kComparisonSort || byte == 8) {
      std::sort(items, items + count, KeyLess);
      return;
    }
    size_t counts[256] = {};
    for (size_t i = 0; i < count; ++i) ++counts[Digit(items[i], byte)];
    if (counts[Digit(items[0], byte)] == count) continue;  // the byte tells nothing
    size_t next[256], end[256];
    size_t sum = 0;
    for (unsigned b = 0; b < 256; ++b) {
      next[b] = sum;
      sum += counts[b];
      end[b] = sum;
    }
    for (unsigned b = 0; b < 256; ++b) {
      while (next[b] < end[b]) {
        const unsigned d = Digit(items[next[b]], byte);
        if (d == b) {
          ++next[b];
        } else {
          std::swap(items[next[b]], items[next[d]++]);
        }
      }
    }
    size_t start = 0;
    for (unsigned b = 0; b < 256; ++b) {
      if (counts[b] > 1) SortByKey(items + start, counts[b], byte + 1);
      start += counts[b];
    }
    return;
  }
}

// Room for the items: a big table's in huge-page blocks (one fault per 2 MiB
// instead of one per page), a small one's on the heap.
struct SortRoom {
  SortItem* items = nullptr;
  size_t blocks = 0;
  std::unique_ptr<SortItem[]> small;

  bool Make(size_t count) {
    const uint64_t bytes = uint64_t{count} * sizeof(SortItem);
    if (bytes < kLargeBlockBytes) {
      small.reset(new (std::nothrow) SortItem[count]);
      items = small.get();
      return items != nullptr || count == 0;
    }
    blocks = static_cast<size_t>((bytes + kLargeBlockBytes - 1) / kLargeBlockBytes);
    items = static_cast<SortItem*>(AllocateLargeBlocks(blocks));
    if (items == nullptr) blocks = 0;
    return items != nullptr;
  }
  ~SortRoom() {
    if (blocks != 0) FreeLargeBlocks(items, blocks);
  }
};

}  // namespace

// Eight bytes of every name at a time: sort by them, then sort each run of
// names that agree so far on their next eight bytes, depth first. Each
// record is fetched about twice in all, rather than once per comparison.
bool SymbolTable::SortByName(std::vector<uint32_t>& records) const {
  constexpr size_t kAhead = 8;  // records fetched ahead: they lie anywhere in memory
  struct Run {
    size_t begin, end;
    uint64_t depth;  // the names agree before it, as far as the keys tell
    size_t next;     // where the search for runs inside this one goes on
  };
  SortRoom room;
  std::vector<Run> runs;
  try {
    runs.reserve(16);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!room.Make(records.size())) return false;
  SortItem* const items = room.items;
  const auto prefetch = [&](uint32_t number, uint64_t depth) {
    const TrackedSymbol& record = At(number);
    __builtin_prefetch(&record);
    __builtin_prefetch(reinterpret_cast<const uint8_t*>(&record + 1) + depth);
  };
  const auto by_name = [&](const SortItem& a, const SortItem& b) {
    const TrackedSymbol& x = At(a.record);
    const TrackedSymbol& y = At(b.record);
    return CompareNames(x.name(), y.name()) < 0;
  };
  for (size_t i = 0; i < records.size(); ++i) {
    if (i + kAhead < records.size()) prefetch(records[i + kAhead], 0);
    items[i].record = records[i];
    FillKey(items[i], At(records[i]), 0);
  }
  SortByKey(items, records.size());
  runs.push_back(Run{0, records.size(), 0, 0});
  while (!runs.empty()) {
    Run& run = runs.back();
    size_t i = run.next;
    if (i >= run.end) {
      runs.pop_back();
      continue;
    }
    size_t j = i + 1;
    while (j < run.end && items[j].Key() == items[i].Key()) ++j;
    run.next = j;
    if (j - i == 1) continue;
    const uint64_t depth = run.depth + 8;
    if (j - i == 2) {
      if (by_name(items[i + 1], items[i])) std::swap(items[i], items[i + 1]);
      continue;
    }
    uint64_t longest_rest = 0;
    for (size_t k = i; k < j; ++k) {
      if (k + kAhead < j) prefetch(items[k + kAhead].record, depth);
      longest_rest = std::max(longest_rest, FillKey(items[k], At(items[k].record), depth));
    }
    // Names that all end within these bytes may differ in what the keys
    // cannot show: their lengths.
    if (longest_rest == 0) {
      std::sort(items + i, items + j, by_name);
      continue;
    }
    SortByKey(items + i, j - i);
    try {
      runs.push_back(Run{i, j, depth, i});
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  for (size_t i = 0; i < records.size(); ++i) records[i] = items[i].record;
  return true;
}

std::vector<uint32_t> SymbolTable::InNameOrder() const {
  std::vector<uint32_t> records;
  try {
    records.reserve(record_count_ > 0 ? record_count_ - 1 : 0);
  } catch (const std::bad_alloc&) {
    return records;
  }
  ForEachRecord([&](uint32_t number) { records.push_back(number); });
  if (!SortByName(records)) records.clear();
  return records;
}

// Records and keys live in the blocks; dropping them frees everything at once.
void SymbolTable::Clear() {
  blocks_.resize(std::min<size_t>(blocks_.size(), 1));  // record 0's block stays
  block_used_.resize(blocks_.size());
  long_names_.clear();
  buckets_.reset();
  bucket_mask_ = 0;
  indexed_ = 0;
  if (blocks_.empty()) {
    next_unit_ = 0;
    record_count_ = 0;
  } else {
    next_unit_ = kFirstRecordUnit;
    block_used_[0] = static_cast<uint32_t>(kFirstRecordUnit);
    record_count_ = 1;
  }
}

void SymbolTable::BlockRelease::operator()(uint64_t* block) const {
  if (large) {
    FreeLargeBlock(block);
  } else {
    delete[] block;
  }
}

uint32_t SymbolTable::Allocate(std::string_view name, uint32_t hash) {
  const uint32_t length = static_cast<uint32_t>(name.size());
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
    block_used_.reserve(blocks_.size() + 1);
    while (blocks_.size() <= (unit >> kBlockBits)) {
      const bool large = !blocks_.empty();
      uint64_t* block = large ? static_cast<uint64_t*>(AllocateLargeBlock()) : new (std::nothrow) uint64_t[kFirstBlockUnits];
      if (block == nullptr) return kNoRecord;
      blocks_.emplace_back(block, BlockRelease{large});
      block_used_.push_back(0);
    }
    const uint8_t* key = nullptr;
    if (outside) {
      uint8_t* copy = new (std::nothrow) uint8_t[length];
      if (copy == nullptr) return kNoRecord;
      long_names_.emplace_back(copy);
      std::memcpy(copy, name.data(), length);
      key = copy;
    }
    uint32_t number = static_cast<uint32_t>(unit);
    TrackedSymbol* record = new (&At(number)) TrackedSymbol{};
    record->name_length = length;
    record->name_outside = outside;
    record->name_hash = hash;
    uint8_t* after = reinterpret_cast<uint8_t*>(record + 1);
    if (outside) {
      std::memcpy(after, &key, sizeof key);
    } else if (length != 0) {
      std::memcpy(after, name.data(), length);
    }
    next_unit_ = unit + units;
    block_used_[unit >> kBlockBits] = static_cast<uint32_t>((unit & kBlockMask) + units);
    ++record_count_;
    return number;
  } catch (const std::bad_alloc&) {
    return kNoRecord;
  }
}

}  // namespace prepqdm
