#pragma once

#include <cstddef>
#include <cstdint>
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
//
// With `n_missing_left` > 0, the last that many entries of the order (the
// rows missing the value, which rank last) are moved left before the walk and
// stay there: every candidate then counts them on its left, and the walk ends
// at the last present value. With 0 the whole order is walked, missing rows
// included, so they count on the right and the boundary before them is the
// candidate "is missing".
template <class MoveLeft, class Visit>
std::size_t scan_candidates(std::span<const RankedPosition> order, std::size_t min_samples_leaf,
                            std::size_t limit, MoveLeft&& move_left, Visit&& visit,
                            std::size_t n_missing_left = 0) {
  const std::span<const RankedPosition> walked = order.first(order.size() - n_missing_left);
  for (const RankedPosition entry : order.subspan(walked.size())) move_left(position_of(entry));
  const std::size_t n = walked.size();
  std::size_t next = 0;  // walked positions before it in value order are on the left
  std::size_t candidate = 0;
  std::size_t group_end = n == 0 ? 0 : end_of_value_group(walked, 0);
  while (next < n && candidate < limit) {
    for (; next < group_end; ++next) move_left(position_of(walked[next]));
    if (next == n) break;
    // The right side only shrinks from here on.
    if (n - next < min_samples_leaf) break;
    group_end = end_of_value_group(walked, next);
    const std::size_t n_left = n_missing_left + next;
    if (n_left < min_samples_leaf) continue;
    const bool last = group_end == n || n - group_end < min_samples_leaf;
    visit(candidate++, n_left, position_of(walked[next - 1]), position_of(walked[next]), last);
  }
  return candidate;
}

// How many entries at the end of a value order hold `missing_rank` (the rows
// missing the value, which rank last); 0 when no rank is missing.
[[nodiscard]] inline std::size_t n_missing_at_end(std::span<const RankedPosition> order,
                                                  std::uint32_t missing_rank) {
  std::size_t count = 0;
  while (count < order.size() && rank_of(order[order.size() - 1 - count]) == missing_rank) ++count;
  return count;
}

}  // namespace korvane::detail
