// One record per distinct global name: the definition in force and what
// export selection needs to know about it. A big build holds one record per
// global of every input, so a record is small (24 bytes: the symbol is an
// offset into its object's image, the small fields share bytes) and its name
// follows it in the same storage, where a lookup that reaches the record
// finds the name too.
#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>

namespace prepqdm {

struct ObjectModule;

enum SymbolKind : uint8_t { kKindNone = 0, kKindData = 1, kKindCode = 2, kKindTls = 3 };

constexpr uint8_t CLASS_LINKONCE = 0x01;
constexpr uint8_t CLASS_STATIC_INIT = 0x02;
constexpr uint8_t CLASS_DOUBLE_DOT = 0x04;
// The definition in force lies in a member section of a COMDAT group (the
// other flags collect every definition's). Asked for by name, it counts as
// linkonce.
constexpr uint8_t CLASS_COMDAT = 0x08;

// What export selection decided about a record beyond `exported` (which
// says it is on the list), with the reasons behind it.
enum ExportVerdict : uint8_t {
  kVerdictNone = 0,        // on the list, or never requested (or selection stopped first)
  kVerdictRefused = 1,     // requested and refused
  kVerdictExcluded = 2,    // chosen, then taken off by the exclude file
  kVerdictPassedOver = 3,  // not eligible for -xall
};

// Reasons: each rule a refused or passed-over record fails; for a record
// exported with a warning, the rule the warning is about. The record keeps
// 12 bits of them (ExportReasons is wider so that the functions need not
// change when one is added); 10 are in use.
using ExportReasons = uint16_t;
constexpr ExportReasons REASON_WEAK = 0x01;
constexpr ExportReasons REASON_LINKONCE = 0x02;
constexpr ExportReasons REASON_STATIC_INIT = 0x04;
constexpr ExportReasons REASON_DOUBLE_DOT = 0x08;
constexpr ExportReasons REASON_DOT_NAME = 0x10;      // -xall: the name begins with '.'
constexpr ExportReasons REASON_NOT_LOADABLE = 0x20;  // -xall: not allocated, not common
constexpr ExportReasons REASON_TABLE_NAME = 0x40;    // a name every export object defines itself
constexpr ExportReasons REASON_LTO_MARKER = 0x80;    // a marker GCC puts in its LTO objects
constexpr ExportReasons REASON_HIDDEN = 0x100;       // -xall: hidden or internal visibility
constexpr ExportReasons REASON_COMDAT = 0x200;       // -xall: defined in a COMDAT group

// Record number 0 is never a symbol's: it means "none".
constexpr uint32_t kNoRecord = 0;

struct TrackedSymbol {
  // Definition in force; none for records made from a definition file alone.
  ObjectModule* object = nullptr;
  uint32_t name_length = 0;
  // Offset of the definition's Elf32_Sym in the object's image.
  uint32_t symbol_offset = 0;
  // Set by the table: the name's hash, so that growing the index never reads
  // a name again and a lookup rejects most other names without reading them.
  uint32_t name_hash = 0;
  // The last four bytes: the class flags, a byte of single-bit fields, then
  // the verdict's reasons beside name_outside and definition_hidden (2 bits
  // free there).
  uint8_t class_flags = 0;
  // 1 exactly while the record is on the export list.
  uint8_t exported : 1 = 0;
  // Selection records its decision where it makes it and prints its messages
  // from it; qdmdump --explain reads it back.
  uint8_t verdict : 2 = kVerdictNone;
  // Whether the definition in force is loadable (in an allocated section, or
  // common): 0 not worked out yet, 1 no, 2 yes. Resolution notes it while the
  // definition's section is at hand, so -xall need not visit every image again.
  uint8_t definition_loadable : 2 = 0;
  uint8_t is_code : 1 = 0;
  uint8_t is_weak : 1 = 0;
  uint8_t is_tls : 1 = 0;
  uint16_t verdict_reasons : 12 = 0;
  // Set by the table for a name too long to keep inline: the record is then
  // followed by a pointer to it.
  uint16_t name_outside : 1 = 0;
  // Whether the definition in force has hidden or internal visibility, noted
  // by resolution for -xall as definition_loadable is.
  uint16_t definition_hidden : 1 = 0;

  // The key: the table's own copy, so inputs need not stay resident. Not
  // followed by a zero byte.
  std::string_view name() const { return {reinterpret_cast<const char*>(name_bytes()), name_length}; }
  const uint8_t* name_bytes() const {
    const uint8_t* after = reinterpret_cast<const uint8_t*>(this + 1);
    if (!name_outside) return after;
    const uint8_t* outside;
    std::memcpy(&outside, after, sizeof outside);
    return outside;
  }
};

static_assert(sizeof(void*) != 8 || sizeof(TrackedSymbol) == 24, "one record per global: keep it small");

}  // namespace prepqdm
