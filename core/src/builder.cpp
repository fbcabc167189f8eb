#include "korvane/builder.hpp"

#include <utility>

namespace korvane {

// How many rows ahead, at either end, the partition asks the caches for a
// value.
constexpr std::size_t kRowsAhead = 16;

std::size_t partition(const MatrixView& x, std::span<std::uint32_t> rows,
                      const node::Split& split) {
  std::size_t i = 0;
  std::size_t end = rows.size();
  // A node's rows lie anywhere in x, and which way each goes decides the next
  // read, so without asking ahead the reads of a large node miss one at a
  // time. The rows to come are those kRowsAhead on from either end: the rows
  // between the ends move only when a swap brings them to i.
  const double* column = x.base + static_cast<std::ptrdiff_t>(split.feature) * x.col_stride;
  const auto ask_ahead = [&] {
    if (i + kRowsAhead < end) {
      __builtin_prefetch(column + static_cast<std::ptrdiff_t>(rows[i + kRowsAhead]) * x.row_stride);
      __builtin_prefetch(column +
                         static_cast<std::ptrdiff_t>(rows[end - kRowsAhead]) * x.row_stride);
    }
  };
  while (i < end) {
    ask_ahead();
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

bool leaves_may_be_empty(const TreeParams& params) {
  return params.honesty && params.min_samples_leaf == 0;
}

}  // namespace korvane
