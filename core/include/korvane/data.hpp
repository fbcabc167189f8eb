#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

  [[nodiscard]] double operator[](std::size_t i) const {
    return base[static_cast<std::ptrdiff_t>(i) * stride];
  }
};

struct ValueRanks;

// The training record of one fit. It owns nothing: copies share the caller's
// buffers, which must stay unchanged until the fit returns. A fit may attach
// the ranks of the values, which split searches then sort instead of the values.
struct SurvivalData {
  MatrixView x;
  std::span<const double> time;
  std::span<const std::uint8_t> event;
  const ValueRanks* ranks = nullptr;

  SurvivalData(MatrixView x, std::span<const double> time, std::span<const std::uint8_t> event);

  // The same record with `value_ranks` (computed from it) attached.
  [[nodiscard]] SurvivalData with_ranks(const ValueRanks& value_ranks) const;

  [[nodiscard]] std::size_t n_samples() const { return x.n_rows; }
  [[nodiscard]] std::size_t n_features() const { return x.n_cols; }
  // Only the byte 1 marks an observed event; every other value is censored.
  [[nodiscard]] bool is_event(std::uint32_t row) const { return event[row] == 1; }
};

// Dense ranks of every covariate column and of the times: equal values share a
// rank, -0.0 equals 0.0, NaN ranks last. Computed once per fit, so that every
// node sorts small integers (two radix passes for up to 65,536 distinct values)
// instead of 64-bit keys, in exactly the same order.
struct ValueRanks {
  std::size_t n_rows = 0;
  std::vector<std::uint32_t> x;  // column-major
  std::vector<std::uint32_t> time;

  [[nodiscard]] static ValueRanks of(const SurvivalData& data);

  [[nodiscard]] std::uint32_t x_rank(std::size_t row, std::size_t col) const {
    return x[col * n_rows + row];
  }
};

}  // namespace korvane
