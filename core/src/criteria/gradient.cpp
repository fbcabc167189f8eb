#include "korvane/criteria/gradient.hpp"

#include <limits>
#include <string>
#include <vector>

#include "candidate_scan.hpp"
#include "korvane/error.hpp"
#include "korvane/sample_weights.hpp"
#include "value_order.hpp"

namespace korvane {

namespace {

// Running sums of one side of a candidate: the outcome and the occurrences
// (counted, or summed weights: rounded weights sum exactly, so the right
// side's weight is the total's minus the left's without error).
template <class Weighting>
struct Side {
  double sum = 0.0;
  double weight = 0.0;

  void add(double outcome, std::span<const double> weights, std::uint32_t row) {
    if constexpr (Weighting::kUnit) {
      sum = sum + outcome;
    } else {
      sum = sum + weights[row] * outcome;
      weight = weight + weights[row];
    }
  }
  [[nodiscard]] double occurrences(std::size_t count) const {
    return Weighting::kUnit ? static_cast<double>(count) : weight;
  }
};

template <class Weighting>
std::optional<BestSplit> search(const Covariates& covariates, std::span<const double> outcome,
                                std::span<const double> weights,
                                std::span<const std::uint32_t> rows,
                                std::span<const std::uint32_t> features,
                                std::size_t min_samples_leaf, const CallControl& control) {
  const std::size_t n = rows.size();
  // Sums follow the order of `rows`; that order is part of the model.
  Side<Weighting> all;
  for (const std::uint32_t row : rows) all.add(outcome[row], weights, row);
  const double n_all = all.occurrences(n);
  std::vector<detail::RankedPosition> by_value;
  detail::OrderScratch scratch;
  std::optional<BestSplit> best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (const std::uint32_t feature : features) {
    control.check();
    detail::order_by_covariate(covariates, rows, feature, by_value, scratch);
    const std::size_t n_missing =
        detail::n_missing_at_end(by_value, covariates.missing_ranks[feature]);
    // Missing rows right first: on a tie the side splits have always taken wins.
    // Carried left, the missing rows add their outcomes and weights first.
    const auto scan_side = [&](std::size_t n_missing_left, MissingSide side) {
      Side<Weighting> left;
      detail::scan_candidates(
          by_value, min_samples_leaf, SIZE_MAX,
          [&](std::uint32_t position) {
            left.add(outcome[rows[position]], weights, rows[position]);
          },
          [&](std::size_t, std::size_t n_left, std::uint32_t left_pos, std::uint32_t right_pos,
              bool) {
            const double w_left = left.occurrences(n_left);
            const double w_right =
                Weighting::kUnit ? static_cast<double>(n - n_left) : all.weight - left.weight;
            const double right_sum = all.sum - left.sum;
            const double diff = left.sum / w_left - right_sum / w_right;
            const double score = (((w_right * w_left) / n_all) * diff) * diff;
            if (score > best_score) {
              best = BestSplit{feature,
                               detail::midpoint(covariates.x.at(rows[left_pos], feature),
                                                covariates.x.at(rows[right_pos], feature)),
                               score, side};
              best_score = score;
            }
          },
          n_missing_left);
    };
    if (n_missing == 0) {
      scan_side(0, MissingSide::kUnseen);
    } else {
      scan_side(0, MissingSide::kRight);
      scan_side(n_missing, MissingSide::kLeft);
    }
  }
  return best;
}

}  // namespace

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
                                                            std::size_t min_samples_leaf,
                                                            const CallControl& control) const {
  if (rows.size() < twice_saturating(min_samples_leaf)) return std::nullopt;
  if (weight_.empty()) {
    return search<UnitWeights>(covariates, pseudo_outcome_, weight_, rows, features,
                               min_samples_leaf, control);
  }
  return search<SampleWeights>(covariates, pseudo_outcome_, weight_, rows, features,
                               min_samples_leaf, control);
}

}  // namespace korvane
