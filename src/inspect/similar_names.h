// "Did you mean": names near a name that no input defines.
#pragma once
#include <cstddef>
#include <string_view>

namespace prepqdm {

// The Damerau-Levenshtein distance of `a` and `b` (insertions, deletions,
// substitutions and transpositions of adjacent bytes, each one edit, with
// no restriction on editing a transposed pair again), or limit + 1 when the
// distance is above `limit`.
size_t EditDistance(std::string_view a, std::string_view b, size_t limit);

// How far a name may be from one that is meant: max(2, length / 4).
inline size_t SimilarityLimit(size_t length) { return length / 4 > 2 ? length / 4 : 2; }

}  // namespace prepqdm
