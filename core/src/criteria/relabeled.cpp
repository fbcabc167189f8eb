#include "korvane/criteria/relabeled.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "korvane/sample_weights.hpp"
#include "variance_scan.hpp"

namespace korvane {

namespace {

// Row `row`'s weight: 1 under UnitWeights, whose weights are empty.
template <class Weighting>
double weight_of(std::span<const double> weight, std::uint32_t row) {
  if constexpr (Weighting::kUnit) {
    return 1.0;
  } else {
    return weight[row];
  }
}

// Σ v and Σ v·a over the rows, in row order.
template <class Weighting>
std::pair<double, double> weighted_total(std::span<const std::uint32_t> rows,
                                         std::span<const double> weight,
                                         std::span<const double> a) {
  double total_weight = 0.0;
  double total = 0.0;
  for (const std::uint32_t row : rows) {
    total_weight += weight_of<Weighting>(weight, row);
    total += weight_of<Weighting>(weight, row) * a[row];
  }
  return {total_weight, total};
}

// The causal labels of CausalRelabeling under the weighting.
template <class Weighting>
bool causal_labels(std::span<const double> outcome, std::span<const double> treatment,
                   std::span<const std::uint32_t> rows, std::span<const double> weight,
                   std::span<double> out) {
  const auto [total_weight, treatment_total] = weighted_total<Weighting>(rows, weight, treatment);
  const double outcome_total = weighted_total<Weighting>(rows, weight, outcome).second;
  if (!(total_weight > 0.0)) return false;
  const double w_mean = treatment_total / total_weight;
  const double y_mean = outcome_total / total_weight;
  // A treatment constant in the node leaves a denominator of rounding noise
  // rather than an exact 0, so constancy is tested on the values themselves.
  bool varies = false;
  double num = 0.0;
  double den = 0.0;
  for (const std::uint32_t row : rows) {
    varies = varies || treatment[row] != treatment[rows.front()];
    const double dw = treatment[row] - w_mean;
    num += weight_of<Weighting>(weight, row) * (dw * (outcome[row] - y_mean));
    den += weight_of<Weighting>(weight, row) * (dw * dw);
  }
  if (!varies || !(den > 0.0) || !std::isfinite(num)) return false;
  const double tau = num / den;
  const double scale = den / total_weight;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const double dw = treatment[rows[k]] - w_mean;
    out[k] = (dw * ((outcome[rows[k]] - y_mean) - dw * tau)) / scale;
  }
  return true;
}

// The ratio labels of RatioRelabeling under the weighting.
template <class Weighting>
bool ratio_labels(std::span<const double> numerator, std::span<const double> denominator,
                  std::span<const std::uint32_t> rows, std::span<const double> weight,
                  std::span<double> out) {
  const auto [total_weight, num] = weighted_total<Weighting>(rows, weight, numerator);
  const double den = weighted_total<Weighting>(rows, weight, denominator).second;
  if (!(total_weight > 0.0) || den == 0.0 || !std::isfinite(den) || !std::isfinite(num)) {
    return false;
  }
  const double tau = num / den;
  const double scale = den / total_weight;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    out[k] = (numerator[rows[k]] - tau * denominator[rows[k]]) / scale;
  }
  return true;
}

// Marks the rows of `rows` above their mean of side_floor.balance; false when
// the node cannot have two children that meet the floor.
bool mark_sides(const SideFloor& side_floor, std::span<const std::uint32_t> rows,
                std::vector<std::uint8_t>& above, detail::ClassFloor& floor) {
  double total = 0.0;
  for (const std::uint32_t row : rows) total += side_floor.balance[row];
  const double mean = total / static_cast<double>(rows.size());
  above.resize(rows.size());
  std::size_t n_above = 0;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    above[k] = side_floor.balance[rows[k]] > mean ? 1 : 0;
    n_above += above[k];
  }
  floor = {above, side_floor.min_per_side, n_above};
  const std::size_t least = twice_saturating(side_floor.min_per_side);
  return n_above >= least && rows.size() - n_above >= least;
}

}  // namespace

bool CausalRelabeling::relabel(std::span<const std::uint32_t> rows,
                               std::span<const double> sample_weight, std::span<double> out) const {
  return sample_weight.empty()
             ? causal_labels<UnitWeights>(outcome, treatment, rows, sample_weight, out)
             : causal_labels<SampleWeights>(outcome, treatment, rows, sample_weight, out);
}

bool RatioRelabeling::relabel(std::span<const std::uint32_t> rows,
                              std::span<const double> sample_weight, std::span<double> out) const {
  return sample_weight.empty()
             ? ratio_labels<UnitWeights>(numerator, denominator, rows, sample_weight, out)
             : ratio_labels<SampleWeights>(numerator, denominator, rows, sample_weight, out);
}

template <Relabeling R>
std::optional<BestSplit> RelabelingCriterion<R>::find_best_split(
    const Covariates& covariates, std::span<const std::uint32_t> rows,
    std::span<const std::uint32_t> features, const ChildFloor& child_floor,
    const CallControl& control) const {
  // Labels of a node are noisy at its edges: without a floor on the smaller
  // child, the largest variance reduction often cuts off a few extreme rows.
  const auto share = std::ceil(min_child_fraction_ * static_cast<double>(rows.size()));
  const ChildFloor node_floor{std::max(child_floor.count, static_cast<std::size_t>(share)),
                              child_floor.weight};
  if (rows.size() < twice_saturating(node_floor.count)) return std::nullopt;
  std::vector<double> labels(rows.size());
  if (!relabeling_.relabel(rows, sample_weight_, labels)) return std::nullopt;
  std::vector<std::uint8_t> above;
  detail::ClassFloor floor;
  if (side_floor_.min_per_side > 0 && !mark_sides(side_floor_, rows, above, floor)) {
    return std::nullopt;
  }
  const auto label_at = [&](std::size_t position) { return labels[position]; };
  if (sample_weight_.empty()) {
    return detail::find_variance_split<UnitWeights>(covariates, rows, features, node_floor, control,
                                                    label_at, sample_weight_, floor);
  }
  return detail::find_variance_split<SampleWeights>(covariates, rows, features, node_floor, control,
                                                    label_at, sample_weight_, floor);
}

template class RelabelingCriterion<CausalRelabeling>;
template class RelabelingCriterion<RatioRelabeling>;

}  // namespace korvane
