#include "korvane/builder.hpp"

#include <utility>

namespace korvane {

std::size_t partition(const MatrixView& x, std::span<std::uint32_t> rows,
                      const node::Split& split) {
  std::size_t i = 0;
  std::size_t end = rows.size();
  while (i < end) {
    if (goes_left(split, x.at(rows[i], split.feature))) {
      ++i;
    } else {
      --end;
      std::swap(rows[i], rows[end]);
    }
  }
  return i;
}

bool missing_goes_left(MissingSide chosen, MissingValues missing_values, std::size_t n_left,
                       std::size_t n_right) {
  if (chosen != MissingSide::kUnseen) return chosen == MissingSide::kLeft;
  return missing_values == MissingValues::kIncorporated && n_left >= n_right;
}

}  // namespace korvane
