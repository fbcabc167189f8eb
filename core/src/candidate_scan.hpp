#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "value_order.hpp"

namespace korvane::detail {

// A value order as a list of (rank, position) entries: entry i holds the
// position position(i), whose value has rank rank(i).
struct PositionOrder {
  std::span<const RankedPosition> entries;

  [[nodiscard]] std::size_t size() const { return entries.size(); }
  [[nodiscard]] std::uint32_t rank(std::size_t i) const { return rank_of(entries[i]); }
  [[nodiscard]] std::uint32_t position(std::size_t i) const { return position_of(entries[i]); }
};

// A value order whose positions are its own indices (the caller keeps per
// index what it needs of the position): only the ranks are stored, half the
// bytes of a PositionOrder.
struct IndexOrder {
  std::span<const std::uint32_t> ranks;

  [[nodiscard]] std::size_t size() const { return ranks.size(); }
  [[nodiscard]] std::uint32_t rank(std::size_t i) const { return ranks[i]; }
  [[nodiscard]] std::uint32_t position(std::size_t i) const {
    return static_cast<std::uint32_t>(i);
  }
};

template <class Order>
concept ValueOrderView = requires(const Order& order, std::size_t i) {
  { order.size() } -> std::same_as<std::size_t>;
  { order.rank(i) } -> std::same_as<std::uint32_t>;
  { order.position(i) } -> std::same_as<std::uint32_t>;
};

// End of the group of equal values that starts at `start` among the first
// `n` entries of a value order.
template <ValueOrderView Order>
[[nodiscard]] std::size_t end_of_value_group(const Order& order, std::size_t n, std::size_t start) {
  const std::uint32_t rank = order.rank(start);
  std::size_t end = start + 1;
  while (end < n && order.rank(end) == rank) ++end;
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
template <ValueOrderView Order, class MoveLeft, class Visit>
std::size_t scan_candidates(const Order& order, std::size_t min_samples_leaf, std::size_t limit,
                            MoveLeft&& move_left, Visit&& visit, std::size_t n_missing_left = 0) {
  const std::size_t n = order.size() - n_missing_left;  // walked entries
  for (std::size_t i = n; i < order.size(); ++i) move_left(order.position(i));
  std::size_t next = 0;  // walked positions before it in value order are on the left
  std::size_t candidate = 0;
  std::size_t group_end = n == 0 ? 0 : end_of_value_group(order, n, 0);
  while (next < n && candidate < limit) {
    for (; next < group_end; ++next) move_left(order.position(next));
    if (next == n) break;
    // The right side only shrinks from here on.
    if (n - next < min_samples_leaf) break;
    group_end = end_of_value_group(order, n, next);
    const std::size_t n_left = n_missing_left + next;
    if (n_left < min_samples_leaf) continue;
    const bool last = group_end == n || n - group_end < min_samples_leaf;
    visit(candidate++, n_left, order.position(next - 1), order.position(next), last);
  }
  return candidate;
}

// How many entries at the end of a value order hold `missing_rank` (the rows
// missing the value, which rank last); 0 when no rank is missing.
template <ValueOrderView Order>
[[nodiscard]] std::size_t n_missing_at_end(const Order& order, std::uint32_t missing_rank) {
  std::size_t count = 0;
  while (count < order.size() && order.rank(order.size() - 1 - count) == missing_rank) ++count;
  return count;
}

}  // namespace korvane::detail
