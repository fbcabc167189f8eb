#include "korvane/criteria/gradient.hpp"

#include <string>

#include "korvane/error.hpp"
#include "korvane/sample_weights.hpp"
#include "variance_scan.hpp"

namespace korvane {

GradientCriterion::GradientCriterion(std::span<const double> pseudo_outcome,
                                     std::span<const double> weight)
    : pseudo_outcome_(pseudo_outcome), weight_(weight) {
  if (!weight.empty() && weight.size() != pseudo_outcome.size()) {
    fail("pseudo_outcome has " + std::to_string(pseudo_outcome.size()) +
         " elements but sample_weight has " + std::to_string(weight.size()));
  }
}

std::optional<BestSplit> GradientCriterion::find_best_split(const Covariates& covariates,
                                                            std::span<const std::uint32_t> rows,
                                                            std::span<const std::uint32_t> features,
                                                            const ChildFloor& floor,
                                                            const CallControl& control) const {
  const auto outcome_at = [&](std::size_t position) { return pseudo_outcome_[rows[position]]; };
  if (weight_.empty()) {
    return detail::find_variance_split<UnitWeights>(covariates, rows, features, floor, control,
                                                    outcome_at, weight_);
  }
  return detail::find_variance_split<SampleWeights>(covariates, rows, features, floor, control,
                                                    outcome_at, weight_);
}

}  // namespace korvane
