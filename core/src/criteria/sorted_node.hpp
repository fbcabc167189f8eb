#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "korvane/criteria/log_rank.hpp"

namespace korvane::detail {

// A node's occurrences in ascending event-time order, grouped by distinct time.
// A weighted fit's node holds the rows' weights and its groups' sums of them
// instead of the counts.
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
  std::vector<double> sorted_weights;  // empty when every occurrence weighs 1
  std::vector<double> group_weighted_events;
  std::vector<double> group_weighted_at_risk;

  [[nodiscard]] bool weighted() const { return !sorted_weights.empty(); }

  [[nodiscard]] static SortedNode of(const LogRankCriterion& criterion,
                                     std::span<const std::uint32_t> rows);
};

}  // namespace korvane::detail
