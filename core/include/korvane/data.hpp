#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "korvane/call_control.hpp"

namespace korvane {

// A borrowed, read-only 2-D view of 64-bit floats; strides count elements, so
// row-major, column-major and sliced layouts are all read the same way.
struct MatrixView {
  const double* base = nullptr;
  std::size_t n_rows = 0;
  std::size_t n_cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;

  [[nodiscard]] double at(std::size_t row, std::size_t col) const {
    return base[static_cast<std::ptrdiff_t>(row) * row_stride +
                static_cast<std::ptrdiff_t>(col) * col_stride];
  }
};

// A borrowed, read-only 1-D strided view (a single query row).
struct VectorView {
  const double* base = nullptr;
  std::size_t size = 0;
  std::ptrdiff_t stride = 1;
};

// How a fit treats NaN covariates. kRefused: the caller has refused them, and
// every split sends NaN right, as models always have. kIncorporated: a missing
// value is information; each split sends the rows missing its feature to the
// side that scores best and records that side.
enum class MissingValues : std::uint8_t { kRefused, kIncorporated };

// The covariates of one fit with the dense ranks of every column: equal values
// share a rank, -0.0 equals 0.0, NaN ranks last. Ranked once per fit, so that
// every node sorts small integers (two radix passes for up to 65,536 distinct
// values) instead of 64-bit keys, in exactly the same order. `x` is borrowed and
// must stay unchanged until the fit returns; the ranks are owned. They are kept
// row by row: a node gathers the ranks of several features for each of its
// rows, which lie anywhere among all rows, and a row's ranks then share one or
// two cache lines instead of taking one each.
struct Covariates {
  // The missing rank of a column without NaN, or of any column of a fit that
  // refuses them: no rank equals it.
  static constexpr std::uint32_t kNoMissingRank = UINT32_MAX;

  MatrixView x;
  std::vector<std::uint32_t> ranks;  // row-major
  MissingValues missing_values = MissingValues::kRefused;
  // Per column, the rank NaN takes when missing values are incorporated and
  // the column holds NaN, else kNoMissingRank.
  std::vector<std::uint32_t> missing_ranks;

  // Stops between columns when `control` asks to (Cancelled).
  explicit Covariates(MatrixView values, const CallControl& control = CallControl{},
                      MissingValues missing = MissingValues::kRefused);

  [[nodiscard]] std::size_t n_samples() const { return x.n_rows; }
  [[nodiscard]] std::size_t n_features() const { return x.n_cols; }
  [[nodiscard]] std::uint32_t rank(std::size_t row, std::size_t col) const {
    return ranks[row * x.n_cols + col];
  }
  // How many of `rows` miss their value in column `col` (0 when the fit
  // refuses missing values).
  [[nodiscard]] std::size_t n_missing(std::span<const std::uint32_t> rows, std::size_t col) const {
    const std::uint32_t missing = missing_ranks[col];
    if (missing == kNoMissingRank) return 0;
    std::size_t count = 0;
    for (const std::uint32_t row : rows) count += rank(row, col) == missing;
    return count;
  }
};

}  // namespace korvane
