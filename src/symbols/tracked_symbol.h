// One record per distinct global name: the definition in force and what
// export selection needs to know about it. The records are also the nodes of
// the SymbolTree.
#pragma once
#include <cstdint>

namespace prepqdm {

struct ObjectModule;

enum SymbolKind : uint8_t { kKindNone = 0, kKindData = 1, kKindCode = 2, kKindTls = 3 };

constexpr uint8_t CLASS_LINKONCE = 0x01;
constexpr uint8_t CLASS_STATIC_INIT = 0x02;
constexpr uint8_t CLASS_DOUBLE_DOT = 0x04;

constexpr uint32_t kRed = 1;
constexpr uint32_t kBlack = 0;

struct TrackedSymbol {
  uint32_t exported = 0;
  // Tree links.
  uint8_t color = kRed;
  // Whether the definition in force is loadable (in an allocated section, or
  // common): 0 not worked out yet, 1 no, 2 yes. Resolution notes it while the
  // definition's section is at hand, so -xall need not visit every image again.
  uint8_t definition_loadable = 0;
  TrackedSymbol* parent = nullptr;
  TrackedSymbol* left = nullptr;
  TrackedSymbol* right = nullptr;
  // Key: bytes in a mapped string table or definition file, not copied.
  const uint8_t* name = nullptr;
  // The key's first eight bytes, big-endian, zero-padded: set by
  // SymbolTree::Insert, so most comparisons of a lookup need not reach the
  // name in its mapping.
  uint64_t key_prefix = 0;
  // Definition in force; none for records made from a definition file alone.
  ObjectModule* object = nullptr;
  const uint8_t* symbol = nullptr;  // the Elf32_Sym in the object's image
  uint32_t name_length = 0;
  uint8_t is_code = 0;
  uint8_t is_weak = 0;
  uint8_t is_tls = 0;
  uint8_t class_flags = 0;
};

}  // namespace prepqdm
