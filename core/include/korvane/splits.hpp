#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "korvane/data.hpp"

namespace korvane {

// An axis-aligned split: values <= threshold go left, all others (NaN too) right.
struct BestSplit {
  std::uint32_t feature = 0;
  double threshold = 0.0;
  double score = 0.0;

  friend bool operator==(const BestSplit&, const BestSplit&) = default;
};

// What the tree builder needs of a split rule. `rows` are the node's splitting
// rows (read only), `features` its candidates in examination order; each side of
// an admissible split holds at least `min_samples_leaf` occurrences.
template <class C>
concept SplitCriterion = requires(const C& criterion, const SurvivalData& data,
                                  std::span<const std::uint32_t> rows,
                                  std::span<const std::uint32_t> features,
                                  std::size_t min_samples_leaf) {
  {
    criterion.find_best_split(data, rows, features, min_samples_leaf)
  } -> std::same_as<std::optional<BestSplit>>;
};

// A node's occurrences in ascending event-time order, grouped by distinct time.
struct SortedNode {
  struct Group {
    std::uint32_t start;
    std::uint32_t end;
  };

  std::vector<std::uint32_t> sorted_rows;
  std::vector<std::uint8_t> sorted_events;
  std::vector<Group> groups;
  std::vector<std::uint32_t> group_events;
  std::vector<std::uint32_t> group_at_risk;

  [[nodiscard]] static SortedNode from_subset(const SurvivalData& data,
                                              std::span<const std::uint32_t> rows);

  // Log-rank chi-square of the partition whose left side is marked, one mark per
  // position of `sorted_rows`. The reference evaluation order; the split search
  // uses a faster pass with bit-identical results.
  [[nodiscard]] double log_rank_score(std::span<const std::uint8_t> in_left) const;
};

// Splits by the two-sample log-rank statistic with the ties correction.
struct LogRankCriterion {
  [[nodiscard]] std::optional<BestSplit> find_best_split(
      const SurvivalData& data, std::span<const std::uint32_t> rows,
      std::span<const std::uint32_t> features, std::size_t min_samples_leaf) const;
};

// Splits by variance reduction of a per-row pseudo-outcome.
struct GradientCriterion {
  std::span<const double> pseudo_outcome;

  explicit GradientCriterion(std::span<const double> outcome) : pseudo_outcome(outcome) {}

  [[nodiscard]] std::optional<BestSplit> find_best_split(
      const SurvivalData& data, std::span<const std::uint32_t> rows,
      std::span<const std::uint32_t> features, std::size_t min_samples_leaf) const;
};

static_assert(SplitCriterion<LogRankCriterion>);
static_assert(SplitCriterion<GradientCriterion>);

// 2 × min_samples_leaf without wrapping around.
[[nodiscard]] inline std::size_t twice_saturating(std::size_t count) {
  return count > SIZE_MAX / 2 ? SIZE_MAX : 2 * count;
}

}  // namespace korvane
