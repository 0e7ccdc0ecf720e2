// C++ names: the demangled form of a mangled name, for the listings, and
// the ways a person writes a C++ function in a definition file, so that a
// missing "audio::mixer_volume" leads to _ZN5audio12mixer_volumeEi.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace prepqdm {

// Names longer than this, or with more back-references (S_, T_, ...) than
// kMostDemangledReferences, are left as they are. The demangler repeats a
// referenced component in full, so a few hundred crafted bytes can demangle
// to gigabytes; within both bounds the text stays small.
constexpr size_t kMostDemangledLength = 4096;
constexpr size_t kMostDemangledReferences = 16;

// `name` demangled with abi::__cxa_demangle, when it is a mangled C++ name
// ("_Z...") within the bounds above that demangles. Safe on any bytes.
std::optional<std::string> Demangled(std::string_view name);

// Mangled names by the ways their entities are written, for "did you mean":
// in full; without a function template's return type; each of those with
// or without the parameter list (and the qualifiers after it), with all,
// some or none of the namespace and class qualifiers ("Mixer::volume" for
// audio::Mixer::volume()), and a template's name with or without its
// arguments. Blanks count only between two words: "add(int,int)" is
// "add(int, int)".
// Special names (vtables, type information, guard variables, thunks) are
// not entities anyone names in a definition file and are left out. The
// index keeps views: the names' bytes must outlive it.
class CxxNameIndex {
 public:
  void Add(std::string_view mangled);
  // The names added whose entity `written` names, in the order added.
  std::vector<std::string> Find(std::string_view written) const;

 private:
  // By the name without qualifiers, template arguments and parameters.
  std::unordered_map<std::string, std::vector<std::string_view>> by_base_;
};

}  // namespace prepqdm
