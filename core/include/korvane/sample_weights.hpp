#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// The weighting of a fit's rows, chosen at compile time where a loop depends on
// it: with UnitWeights the unweighted code runs as it is, with SampleWeights
// the same code reads a weight per row and sums in doubles.
struct UnitWeights {
  static constexpr bool kUnit = true;
};
struct SampleWeights {
  static constexpr bool kUnit = false;
};

// Per-row frequency weights: a row of weight 2 counts as two occurrences of it
// in every sum (at-risk and event counts, leaf estimates, forest weights), a
// row of weight 0 as no row at all. Weights are rounded once to multiples of
// one power of two, 2^-51 of their total or finer, so that every sum of them is
// exact whatever its order: node totals do not depend on how rows moved, the
// log-rank bounds keep the error analysis of whole counts, and whole-number
// weights stay as they are (a weight of 2 is bit for bit a duplicated row).
// Rescaling all weights by a power of two rescales the rounded ones exactly.
class RowWeights {
 public:
  // Throws InternalError unless every weight is finite and >= 0 with a
  // positive total; the binding checks first with messages of its own.
  explicit RowWeights(std::span<const double> weight);

  [[nodiscard]] std::span<const double> values() const { return values_; }
  // The rows whose rounded weight is positive, ascending: the rows a fit grows
  // on. A weight that rounds to 0 (about 2^-52 of the total or less) leaves its row
  // out too.
  [[nodiscard]] const std::vector<std::uint32_t>& kept_rows() const { return kept_; }

 private:
  std::vector<double> values_;
  std::vector<std::uint32_t> kept_;
};

// Whether every sum of these finite, non-negative weights with a positive
// finite total is exact: each is a whole multiple of 2^-52 of the power of two
// above their total, as RowWeights' rounded weights are (their total may have
// rounded up past a power of two, hence one bit more than RowWeights keeps).
[[nodiscard]] bool sums_exactly(std::span<const double> weight);

// The rows of `weight` that a fit grows on (positive weight), ascending.
[[nodiscard]] std::vector<std::uint32_t> positive_rows(std::span<const double> weight);

}  // namespace korvane
