#pragma once

#include <cstddef>
#include <span>

#include "value_order.hpp"

namespace korvane::detail {

// End of the group of equal values that starts at `start` of a value order.
[[nodiscard]] inline std::size_t end_of_value_group(std::span<const RankedPosition> order,
                                                    std::size_t start) {
  const std::uint32_t rank = rank_of(order[start]);
  std::size_t end = start + 1;
  while (end < order.size() && rank_of(order[end]) == rank) ++end;
  return end;
}

// The candidate thresholds of one feature, shared by every criterion: walks a
// node's value order in ascending value order, hands each position to
// `move_left` as its value group joins the left side, and calls
//   visit(candidate, n_left, left_position, right_position, last)
// for each admissible boundary between two value groups (both sides hold at
// least `min_samples_leaf` occurrences), with the positions holding the values
// on either side and whether no admissible candidate follows. Stops after
// `limit` candidates; returns how many it visited.
template <class MoveLeft, class Visit>
std::size_t scan_candidates(std::span<const RankedPosition> order, std::size_t min_samples_leaf,
                            std::size_t limit, MoveLeft&& move_left, Visit&& visit) {
  const std::size_t n = order.size();
  std::size_t n_left = 0;  // positions before it in value order are on the left
  std::size_t candidate = 0;
  std::size_t group_end = n == 0 ? 0 : end_of_value_group(order, 0);
  while (n_left < n && candidate < limit) {
    for (; n_left < group_end; ++n_left) move_left(position_of(order[n_left]));
    if (n_left == n) break;
    // n_right only shrinks from here on.
    if (n - n_left < min_samples_leaf) break;
    group_end = end_of_value_group(order, n_left);
    if (n_left < min_samples_leaf) continue;
    const bool last = group_end == n || n - group_end < min_samples_leaf;
    visit(candidate++, n_left, position_of(order[n_left - 1]), position_of(order[n_left]), last);
  }
  return candidate;
}

}  // namespace korvane::detail
