#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "korvane/criterion.hpp"
#include "korvane/data.hpp"

namespace korvane {

// Splits by variance reduction of a per-row pseudo-outcome.
class GradientCriterion {
 public:
  explicit GradientCriterion(std::span<const double> pseudo_outcome)
      : pseudo_outcome_(pseudo_outcome) {}

  [[nodiscard]] std::size_t n_samples() const { return pseudo_outcome_.size(); }

  [[nodiscard]] std::optional<BestSplit> find_best_split(
      const Covariates& covariates, std::span<const std::uint32_t> rows,
      std::span<const std::uint32_t> features, std::size_t min_samples_leaf,
      const CallControl& control = CallControl{}) const;

 private:
  std::span<const double> pseudo_outcome_;
};

static_assert(SplitCriterion<GradientCriterion>);

}  // namespace korvane
