#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "candidate_scan.hpp"
#include "korvane/call_control.hpp"
#include "korvane/criterion.hpp"
#include "korvane/data.hpp"
#include "korvane/sample_weights.hpp"
#include "value_order.hpp"

namespace korvane::detail {

// Two classes of rows by position in the node (first[k] = 1: row k is of the
// first class) and the least each child of a split holds of each class. An
// empty `first` sets no floor, and the scan is then the plain one.
struct ClassFloor {
  std::span<const std::uint8_t> first;
  std::size_t min_per_class = 0;
  std::size_t total_first = 0;

  [[nodiscard]] bool admits(std::size_t n_left, std::size_t left_first, std::size_t n) const {
    if (first.empty()) return true;
    const std::size_t right_first = total_first - left_first;
    return std::min({left_first, n_left - left_first, right_first, n - n_left - right_first}) >=
           min_per_class;
  }
};

// The split of `rows` that most reduces the (weighted) variance of a value per
// position of `rows` (value_at(position)): the largest
// (n_left · n_right / n) · (mean_left − mean_right)², with weight sums in place
// of the counts when weighted. Sums follow the order of `rows`, which is part
// of the model. Weighted (SampleWeights), row r weighs weight[r] and a side
// must hold a row of positive weight; UnitWeights reads no weights and uses the
// side counts the candidate scan hands over. A split `floor` does not admit is
// no candidate, nor, weighted, one whose side weighs less than
// child_floor.weight.
template <class Weighting, class ValueAt>
std::optional<BestSplit> find_variance_split(const Covariates& covariates,
                                             std::span<const std::uint32_t> rows,
                                             std::span<const std::uint32_t> features,
                                             const ChildFloor& child_floor,
                                             const CallControl& control, const ValueAt& value_at,
                                             std::span<const double> weight,
                                             const ClassFloor& floor = {}) {
  constexpr bool kWeighted = !Weighting::kUnit;
  const std::size_t n = rows.size();
  if (n < twice_saturating(child_floor.count)) return std::nullopt;
  const auto weight_at = [&](std::size_t position) { return weight[rows[position]]; };
  const auto term = [&](std::size_t position) {
    if constexpr (kWeighted) {
      return weight_at(position) * value_at(position);
    } else {
      return value_at(position);
    }
  };
  double total = 0.0;
  double total_weight = 0.0;
  std::size_t total_positive = 0;
  for (std::size_t position = 0; position < n; ++position) {
    total += term(position);
    if constexpr (kWeighted) {
      total_weight += weight_at(position);
      total_positive += weight_at(position) > 0.0 ? 1 : 0;
    }
  }
  if constexpr (!kWeighted) total_weight = static_cast<double>(n);

  std::vector<RankedPosition> by_value;
  OrderScratch scratch;
  std::optional<BestSplit> best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (const std::uint32_t feature : features) {
    control.check();
    order_by_covariate(covariates, rows, feature, by_value, scratch);
    const std::size_t n_missing =
        n_missing_at_end(PositionOrder{by_value}, covariates.missing_ranks[feature]);
    // Missing rows right first: on a tie the side splits have always taken wins.
    const auto scan_side = [&](std::size_t n_missing_left, MissingSide side) {
      double left_sum = 0.0;
      double left_weight = 0.0;
      std::size_t left_positive = 0;
      std::size_t left_first = 0;
      const auto move_left = [&](std::uint32_t position) {
        left_sum = left_sum + term(position);
        if (!floor.first.empty()) left_first += floor.first[position];
        if constexpr (kWeighted) {
          left_weight += weight_at(position);
          left_positive += weight_at(position) > 0.0 ? 1 : 0;
        }
      };
      const auto visit = [&](std::size_t, std::size_t n_left, std::uint32_t left,
                             std::uint32_t right, bool) {
        if (!floor.admits(n_left, left_first, n)) return;
        if constexpr (kWeighted) {
          if (left_positive == 0 || left_positive == total_positive) return;
        } else {
          left_weight = static_cast<double>(n_left);
        }
        const double right_weight =
            kWeighted ? total_weight - left_weight : static_cast<double>(n - n_left);
        const double right_sum = total - left_sum;
        const double diff = left_sum / left_weight - right_sum / right_weight;
        const double score = (((right_weight * left_weight) / total_weight) * diff) * diff;
        if (score > best_score) {
          best = BestSplit{
              feature,
              midpoint(covariates.x.at(rows[left], feature), covariates.x.at(rows[right], feature)),
              score, side};
          best_score = score;
        }
      };
      if constexpr (kWeighted) {
        scan_weighed_candidates(PositionOrder{by_value}, child_floor.count, SIZE_MAX, move_left,
                                visit, n_missing_left, weight_at, total_weight, child_floor.weight);
      } else {
        scan_candidates(PositionOrder{by_value}, child_floor.count, SIZE_MAX, move_left, visit,
                        n_missing_left);
      }
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

}  // namespace korvane::detail
