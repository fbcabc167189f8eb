#include "korvane/criteria/gradient.hpp"

#include <limits>
#include <vector>

#include "candidate_scan.hpp"
#include "value_order.hpp"

namespace korvane {

std::optional<BestSplit> GradientCriterion::find_best_split(const Covariates& covariates,
                                                            std::span<const std::uint32_t> rows,
                                                            std::span<const std::uint32_t> features,
                                                            std::size_t min_samples_leaf,
                                                            const CallControl& control) const {
  const std::size_t n = rows.size();
  if (n < twice_saturating(min_samples_leaf)) return std::nullopt;
  // Sums follow the order of `rows`; that order is part of the model.
  double total = 0.0;
  for (const std::uint32_t row : rows) total += pseudo_outcome_[row];

  const auto n_all = static_cast<double>(n);
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
    const auto scan_side = [&](std::size_t n_missing_left, MissingSide side) {
      double left_sum = 0.0;
      detail::scan_candidates(
          by_value, min_samples_leaf, SIZE_MAX,
          [&](std::uint32_t position) { left_sum = left_sum + pseudo_outcome_[rows[position]]; },
          [&](std::size_t, std::size_t n_left, std::uint32_t left, std::uint32_t right, bool) {
            const std::size_t n_right = n - n_left;
            const double right_sum = total - left_sum;
            const double diff =
                left_sum / static_cast<double>(n_left) - right_sum / static_cast<double>(n_right);
            const double score =
                (((static_cast<double>(n_right) * static_cast<double>(n_left)) / n_all) * diff) *
                diff;
            if (score > best_score) {
              best = BestSplit{feature,
                               detail::midpoint(covariates.x.at(rows[left], feature),
                                                covariates.x.at(rows[right], feature)),
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

}  // namespace korvane
