// The tracking pass: every registered object's global symbols go into the
// symbol table, newest object first, so that among equal definitions the one
// from the input named last on the command line is met first and stays.
//
// An object whose bytes equal those of an object registered before it is a
// duplicate input: it is not tracked, and it is reported together with the
// nearest earlier copy (the first identical module after it in the newest-
// first list). Finding that copy by comparing every pair would cost quadratic
// time on builds with many equally sized objects, so modules are grouped by
// shape (size, section count, each section's offset and size: ShapeOf), only
// groups of two or more are hashed, and a hash
// match is confirmed byte for byte (EarlierCopy, the one finder for the pass
// and for the work ahead). Import stub objects (any section of type
// SHT_QDM_IMPORTS) contribute no symbols either.
//
// Which definition stays in force does not depend on the order definitions
// are met (Wins), so objects entered ahead meet theirs in registration order;
// only the -v report needs the pass's own order.
//
// Each object is done with (ObjectDone: its pages go back to its file, see
// InputResidency) as soon as the pass is, after tracking it, and so is each
// object the duplicate finder reads again; so the pass holds about one
// megabyte of input pages rather than every input.
//
// Done ahead (TrackAhead), the same work happens object by object during
// registration, in registration order; see tracking_pass.h.
#include "symbols/tracking_pass.h"

#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "elf/elf_format.h"
#include "elf/elf_image.h"
#include "elf/object_module.h"
#include "symbols/resolution.h"
#include "symbols/symbol_table.h"

namespace prepqdm {
namespace {

bool SameBytes(const ObjectModule& a, const ObjectModule& b) {
  return a.size == b.size && (a.size == 0 || std::memcmp(a.image, b.image, a.size) == 0);
}

void ReportDuplicate(Sink& console, const ObjectModule& copy, const ObjectModule& module) {
  if (copy.name != module.name) {
    Print(console, "!!!WARNING: Exact same object file specified under two different names:\n    \"%.*s\" and \"%.*s\"\n.",
          static_cast<int>(copy.name.size()), copy.name.data(), static_cast<int>(module.name.size()),
          module.name.data());
  } else if (copy.file != module.file) {
    Print(console, "!!!INFO: File \"%.*s\" is in two input files:\n    \"%s\" and \"%s\".\n",
          static_cast<int>(module.name.size()), module.name.data(), copy.file ? copy.file->path.c_str() : "",
          module.file ? module.file->path.c_str() : "");
  }
  // The same member twice in one archive: nothing to say.
}

// The module's content hash; one taken only now read its pages again.
uint64_t HashOf(CopyFinder& finder, ObjectModule& module) {
  if (!module.facts.hashed && module.image != nullptr) {
    module.facts.content_hash = ContentHash(module.image, module.size);
    module.facts.hashed = true;
    finder.reread.push_back(&module);
  }
  return module.facts.hashed ? module.facts.content_hash : 0;
}

// The nearest object met before `module` (objects are met oldest first)
// with the same bytes, or null. Only an object of the same shape can be
// one; such objects are hashed (most at registration, while
// their pages were resident; the first of a shape only once a second comes),
// and a hash match is confirmed byte for byte.
// The objects it read again (finder.reread) are done with once the caller
// is done with `module`.
ObjectModule* EarlierCopy(CopyFinder& finder, ObjectModule& module) {
  finder.reread.clear();
  std::vector<ObjectModule*>& same_shape = finder.shapes[ShapeOf(module)];
  ObjectModule* copy = nullptr;
  if (!same_shape.empty()) {
    const uint64_t hash = HashOf(finder, module);
    for (size_t j = same_shape.size(); j-- > 0;) {
      ObjectModule& earlier = *same_shape[j];
      // The first of a shape is hashed only now.
      if (HashOf(finder, earlier) != hash) continue;
      if (finder.reread.empty() || finder.reread.front() != &module) finder.reread.push_back(&module);
      finder.reread.push_back(&earlier);
      if (SameBytes(earlier, module)) {
        copy = &earlier;
        break;
      }
    }
  }
  same_shape.push_back(&module);
  return copy;
}

// The objects EarlierCopy read again are done with as soon as it is.
void RereadDone(InputRegistry& registry, const CopyFinder& finder) {
  for (const ObjectModule* read : finder.reread) ObjectDone(registry, *read);
}

// True when `ahead` entered exactly the objects of `registry`.
bool EnteredAll(const TrackingAhead& ahead, const InputRegistry& registry) {
  if (ahead.given_up || ahead.entered.size() != static_cast<size_t>(registry.count)) return false;
  size_t k = ahead.entered.size();
  for (const ObjectModule* module = registry.head; module != nullptr; module = module->next) {
    if (k == 0 || ahead.entered[--k].module != module) return false;
  }
  return k == 0;
}

}  // namespace

void TrackAhead(TrackingAhead& ahead, InputRegistry& registry, SymbolTable& symbols, ObjectModule& module,
                bool verbose) {
  if (ahead.given_up) return;
  if (verbose) {
    ahead.given_up = true;
    return;
  }
  try {
    ahead.entered.emplace_back();
    TrackingAhead::Entered& entry = ahead.entered.back();
    entry.module = &module;
    entry.copy = EarlierCopy(ahead.copies, module);
    RereadDone(registry, ahead.copies);
    if (entry.copy != nullptr || module.image == nullptr || module.size < kElfHeaderSize) return;
    if (!module.facts.sections_noted) NoteSectionFacts(module);
    if (module.facts.import_stub) return;
    Sink printed{nullptr, &entry.printed};
    for (uint32_t table : module.facts.symbol_tables) {
      entry.status = TrackSymbolTable(symbols, printed, module, table, false);
      if (entry.status != kOk) break;
    }
  } catch (const std::bad_alloc&) {
    ahead.given_up = true;
  }
}

Status TrackAllSymbols(InputRegistry& registry, SymbolTable& symbols, Sink& console, bool verbose,
                       TrackingAhead* ahead) {
  if (ahead != nullptr && !ahead->entered.empty()) {
    if (!verbose && EnteredAll(*ahead, registry)) {
      // The pass's messages, newest object first, up to its first failure.
      for (size_t k = ahead->entered.size(); k-- > 0;) {
        const TrackingAhead::Entered& entry = ahead->entered[k];
        if (entry.copy != nullptr) ReportDuplicate(console, *entry.copy, *entry.module);
        if (entry.status != kOk) {
          PrintBytes(console, entry.printed.data(), entry.printed.size());
          return entry.status;
        }
      }
      ObjectsDone(registry);
      return kOk;
    }
    // Some objects were entered ahead, not all, or -v came after them.
    symbols.Clear();
  }
  std::vector<ObjectModule*> modules;
  for (ObjectModule* module = registry.head; module != nullptr; module = module->next) modules.push_back(module);
  if (modules.empty()) return kOk;
  // Copies are found oldest first, as registration meets them; the finder
  // is gone before the table grows.
  std::vector<ObjectModule*> copies(modules.size(), nullptr);
  {
    CopyFinder finder;
    for (size_t i = modules.size(); i-- > 0;) {
      copies[i] = EarlierCopy(finder, *modules[i]);
      RereadDone(registry, finder);
    }
  }

  for (size_t i = 0; i < modules.size(); ++i) {
    ObjectModule& module = *modules[i];
    if (copies[i] != nullptr) {
      ReportDuplicate(console, *copies[i], module);
      continue;
    }
    if (module.image == nullptr || module.size < kElfHeaderSize) continue;
    // Noted at registration; objects made otherwise (tests) are looked at now.
    if (!module.facts.sections_noted) NoteSectionFacts(module);
    if (!module.facts.import_stub) {
      // Section headers, symbols and names: most of a small object.
      if (module.file != nullptr) InputResidency::BeforeReading(*module.file, module.image, module.size);
      for (uint32_t index : module.facts.symbol_tables) {
        Status status = TrackSymbolTable(symbols, console, module, index, verbose);
        if (status != kOk) return status;
      }
    }
    ObjectDone(registry, module);
  }
  // Selection and the writer run without input pages.
  ObjectsDone(registry);
  return kOk;
}

}  // namespace prepqdm
