#pragma once

#include <cstdint>
#include <span>

#include "criteria/sorted_node.hpp"

namespace korvane::testing {

// Log-rank chi-square of the partition of a node whose left side is marked, one
// mark per position of `node.sorted_rows`: the reference evaluation order,
// which the split search must reproduce to the last bit.
inline double log_rank_score(const detail::SortedNode& node,
                             std::span<const std::uint8_t> in_left) {
  std::uint64_t at_risk_left = 0;
  for (const std::uint8_t mark : in_left) at_risk_left += mark;
  double u = 0.0;
  double v = 0.0;
  for (std::size_t g = 0; g < node.groups.size(); ++g) {
    std::uint64_t marked = 0;
    std::uint64_t marked_events = 0;
    for (std::uint32_t pos = node.groups[g].start; pos < node.groups[g].end; ++pos) {
      marked += in_left[pos];
      marked_events += in_left[pos] & node.sorted_events[pos];
    }
    const std::uint32_t d = node.group_events[g];
    const std::uint32_t y = node.group_at_risk[g];
    if (d > 0) {
      const double p = static_cast<double>(at_risk_left) / static_cast<double>(y);
      const double e = p * static_cast<double>(d);
      u = u + (static_cast<double>(marked_events) - e);
      if (y > 1) {
        v = v + ((static_cast<double>(y) - static_cast<double>(d)) * (e * (1.0 - p))) /
                    static_cast<double>(y - 1);
      }
    }
    at_risk_left -= marked;
  }
  return v > 0.0 ? u * u / v : 0.0;
}

}  // namespace korvane::testing
