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

// The covariates of one fit with the dense ranks of every column: equal values
// share a rank, -0.0 equals 0.0, NaN ranks last. Ranked once per fit, so that
// every node sorts small integers (two radix passes for up to 65,536 distinct
// values) instead of 64-bit keys, in exactly the same order. `x` is borrowed and
// must stay unchanged until the fit returns; the ranks are owned.
struct Covariates {
  MatrixView x;
  std::vector<std::uint32_t> ranks;  // column-major

  // Stops between columns when `control` asks to (Cancelled).
  explicit Covariates(MatrixView values, const CallControl& control = CallControl{});

  [[nodiscard]] std::size_t n_samples() const { return x.n_rows; }
  [[nodiscard]] std::size_t n_features() const { return x.n_cols; }
  [[nodiscard]] std::uint32_t rank(std::size_t row, std::size_t col) const {
    return ranks[col * x.n_rows + row];
  }
};

}  // namespace korvane
