// The pass that feeds every registered object's global symbols to the symbol
// table, newest object first, skipping duplicate inputs and import stubs.
//
// The pass can also be done ahead, object by object as each is registered,
// while its pages are still fresh, instead of reading every object a second
// time. Registration goes oldest first, the reverse of the pass's order; the
// same definitions stay in force either way (Wins ranks them), duplicates
// are recognised by the same finder, and what the pass would print is kept
// and printed by it, in its order. The -v report follows the pass's own
// order, so a run with -v (even one given after some objects) has the pass
// start over.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/output.h"
#include "host/status.h"

namespace prepqdm {

struct InputRegistry;
struct ObjectModule;
struct SymbolTable;

// Objects met so far (oldest first) by ShapeOf: only objects of one shape
// can be copies of each other.
struct CopyFinder {
  std::unordered_map<uint64_t, std::vector<ObjectModule*>> shapes;
  std::vector<ObjectModule*> reread;  // objects whose pages the last search read again
};

struct TrackingAhead {
  struct Entered {
    ObjectModule* module = nullptr;
    ObjectModule* copy = nullptr;  // the nearest earlier object with the same bytes
    Status status = kOk;           // of entering its symbols
    std::string printed;           // what the pass prints for it
  };
  std::vector<Entered> entered;  // in registration order
  CopyFinder copies;
  bool given_up = false;  // -v, or memory ran out: the pass starts over
};

// Enters `module`, just registered in `registry`, ahead of the pass.
// `verbose` (-v) gives up the work ahead: -v reports in the pass's order.
void TrackAhead(TrackingAhead& ahead, InputRegistry& registry, SymbolTable& symbols, ObjectModule& module,
                bool verbose);

// Enters the defined globals of every object in `registry` into `symbols`, or,
// when `ahead` entered all of them already, prints what the pass would have.
// Returns 0, or a non-zero status after its message.
// `verbose` (-v) adds the INFO lines about weak and repeated definitions.
Status TrackAllSymbols(InputRegistry& registry, SymbolTable& symbols, Sink& console, bool verbose,
                       TrackingAhead* ahead = nullptr);

}  // namespace prepqdm
