#include "korvane/criteria/gradient.hpp"

#include "variance_scan.hpp"

namespace korvane {

std::optional<BestSplit> GradientCriterion::find_best_split(const Covariates& covariates,
                                                            std::span<const std::uint32_t> rows,
                                                            std::span<const std::uint32_t> features,
                                                            std::size_t min_samples_leaf,
                                                            const CallControl& control) const {
  return detail::find_variance_split(
      covariates, rows, features, min_samples_leaf, control,
      [&](std::size_t position) { return pseudo_outcome_[rows[position]]; }, detail::UnitWeight{});
}

}  // namespace korvane
