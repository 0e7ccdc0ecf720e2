// The full Damerau-Levenshtein distance (Lowrance and Wagner): besides the
// usual edit matrix it remembers, per byte value, the last row that held it,
// so a transposition may span edits in between. Names that differ in length
// by more than the limit are answered without the matrix.
#include "inspect/similar_names.h"

#include <algorithm>
#include <array>
#include <vector>

namespace prepqdm {

size_t EditDistance(std::string_view a, std::string_view b, size_t limit) {
  const size_t la = a.size();
  const size_t lb = b.size();
  if ((la > lb ? la - lb : lb - la) > limit) return limit + 1;
  const size_t infinity = la + lb;
  const size_t width = lb + 2;
  // d[(i + 1) * width + (j + 1)] is the distance of a[0, i) and b[0, j).
  std::vector<size_t> d((la + 2) * width, 0);
  auto at = [&](size_t i, size_t j) -> size_t& { return d[i * width + j]; };
  at(0, 0) = infinity;
  for (size_t i = 0; i <= la; ++i) {
    at(i + 1, 0) = infinity;
    at(i + 1, 1) = i;
  }
  for (size_t j = 0; j <= lb; ++j) {
    at(0, j + 1) = infinity;
    at(1, j + 1) = j;
  }
  std::array<size_t, 256> last_row{};  // per byte value: the last row of a holding it
  for (size_t i = 1; i <= la; ++i) {
    size_t last_column = 0;  // the last column of this row where the bytes matched
    for (size_t j = 1; j <= lb; ++j) {
      const size_t i1 = last_row[static_cast<unsigned char>(b[j - 1])];
      const size_t j1 = last_column;
      size_t cost = 1;
      if (a[i - 1] == b[j - 1]) {
        cost = 0;
        last_column = j;
      }
      at(i + 1, j + 1) = std::min({at(i, j) + cost, at(i + 1, j) + 1, at(i, j + 1) + 1,
                                   at(i1, j1) + (i - i1 - 1) + 1 + (j - j1 - 1)});
    }
    last_row[static_cast<unsigned char>(a[i - 1])] = i;
  }
  return std::min(at(la + 1, lb + 1), limit + 1);
}

}  // namespace prepqdm
