#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "korvane/criterion.hpp"
#include "korvane/data.hpp"

namespace korvane {

// Splits by variance reduction of a per-row pseudo-outcome; with weights
// (RowWeights' rounded values, borrowed), of its weighted mean per side, each
// side counting its weight as its occurrences.
class GradientCriterion {
 public:
  explicit GradientCriterion(std::span<const double> pseudo_outcome,
                             std::span<const double> weight = {});

  [[nodiscard]] std::size_t n_samples() const { return pseudo_outcome_.size(); }
  [[nodiscard]] std::span<const double> weight() const { return weight_; }

  [[nodiscard]] std::optional<BestSplit> find_best_split(
      const Covariates& covariates, std::span<const std::uint32_t> rows,
      std::span<const std::uint32_t> features, const ChildFloor& floor,
      const CallControl& control = CallControl{}) const;

 private:
  std::span<const double> pseudo_outcome_;
  std::span<const double> weight_;  // empty: unweighted
};

static_assert(SplitCriterion<GradientCriterion>);

}  // namespace korvane
