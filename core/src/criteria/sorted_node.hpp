#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "korvane/criteria/log_rank.hpp"

namespace korvane::detail {

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

  [[nodiscard]] static SortedNode of(const LogRankCriterion& criterion,
                                     std::span<const std::uint32_t> rows);
};

}  // namespace korvane::detail
