#include "korvane/builder.hpp"

#include <utility>

namespace korvane {

std::size_t partition(const MatrixView& x, std::span<std::uint32_t> rows, std::uint32_t feature,
                      double threshold) {
  std::size_t i = 0;
  std::size_t end = rows.size();
  while (i < end) {
    if (x.at(rows[i], feature) <= threshold) {
      ++i;
    } else {
      --end;
      std::swap(rows[i], rows[end]);
    }
  }
  return i;
}

}  // namespace korvane
