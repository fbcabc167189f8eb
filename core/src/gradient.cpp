#include <limits>

#include "korvane/splits.hpp"
#include "value_order.hpp"

namespace korvane {

std::optional<BestSplit> GradientCriterion::find_best_split(
    const SurvivalData& data, std::span<const std::uint32_t> rows,
    std::span<const std::uint32_t> features, std::size_t min_samples_leaf) const {
  const std::size_t n = rows.size();
  if (n < twice_saturating(min_samples_leaf)) return std::nullopt;
  // Sums follow the order of `rows`; that order is part of the model.
  double total = 0.0;
  for (const std::uint32_t row : rows) total += pseudo_outcome[row];

  const auto n_all = static_cast<double>(n);
  std::vector<detail::RankedPosition> by_value;
  detail::OrderScratch scratch;
  std::optional<BestSplit> best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (const std::uint32_t feature : features) {
    detail::order_by_covariate(data, rows, feature, by_value, scratch);
    double left_sum = 0.0;
    std::size_t n_left = 0;
    std::size_t i = 0;
    while (i < n) {
      const std::uint32_t rank = detail::rank_of(by_value[i]);
      do {
        left_sum = left_sum + pseudo_outcome[rows[detail::position_of(by_value[i])]];
        ++n_left;
        ++i;
      } while (i < n && detail::rank_of(by_value[i]) == rank);
      if (i == n) break;
      const std::size_t n_right = n - n_left;
      if (n_right < min_samples_leaf) break;
      if (n_left < min_samples_leaf) continue;
      const double right_sum = total - left_sum;
      const double diff = left_sum / static_cast<double>(n_left) - right_sum / static_cast<double>(n_right);
      const double score =
          (((static_cast<double>(n_right) * static_cast<double>(n_left)) / n_all) * diff) * diff;
      if (score > best_score) {
        best = BestSplit{feature,
                         detail::midpoint(data.x.at(rows[detail::position_of(by_value[i - 1])], feature),
                                          data.x.at(rows[detail::position_of(by_value[i])], feature)),
                         score};
        best_score = score;
      }
    }
  }
  return best;
}

}  // namespace korvane
