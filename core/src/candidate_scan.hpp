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

// No floor on the weight of a side: the scan sums no weights.
struct NoWeightFloor {
  static constexpr bool kSums = false;
  void move_left(std::uint32_t /*position*/) {}
  [[nodiscard]] bool left_short() const { return false; }
  [[nodiscard]] bool right_short() const { return false; }
  template <ValueOrderView Order>
  [[nodiscard]] bool right_short_after(const Order& /*order*/, std::size_t /*start*/,
                                       std::size_t /*end*/) const {
    return false;
  }
};

// Each side of a candidate holds at least `least` of the walked entries'
// weight `total`, the weight of a position being weight_at(position). The
// weights are RowWeights' rounded ones, whose sums are exact in any order, so
// the right side's weight is the total less the left's.
template <class WeightAt>
struct WeightFloor {
  static constexpr bool kSums = true;
  WeightAt weight_at;
  double total;
  double least;
  double left = 0.0;

  void move_left(std::uint32_t position) { left += weight_at(position); }
  [[nodiscard]] bool left_short() const { return left < least; }
  [[nodiscard]] bool right_short() const { return total - left < least; }
  // Whether the right side falls short once entries [start, end) join the left.
  template <ValueOrderView Order>
  [[nodiscard]] bool right_short_after(const Order& order, std::size_t start,
                                       std::size_t end) const {
    double moved = left;
    for (std::size_t i = start; i < end; ++i) moved += weight_at(order.position(i));
    return total - moved < least;
  }
};

// The candidate thresholds of one feature, shared by every criterion: walks a
// node's value order in ascending value order, hands each position to
// `move_left` as its value group joins the left side, and calls
//   visit(candidate, n_left, left_position, right_position, last)
// for each admissible boundary between two value groups (both sides hold at
// least `min_samples_leaf` occurrences and meet `weight_floor`), with the
// positions holding the values on either side and whether no admissible
// candidate follows. Stops after `limit` candidates; returns how many it
// visited.
//
// With `n_missing_left` > 0, the last that many entries of the order (the
// rows missing the value, which rank last) are moved left before the walk and
// stay there: every candidate then counts them on its left, and the walk ends
// at the last present value. With 0 the whole order is walked, missing rows
// included, so they count on the right and the boundary before them is the
// candidate "is missing".
template <ValueOrderView Order, class MoveLeft, class Visit, class Floor = NoWeightFloor>
std::size_t scan_candidates(const Order& order, std::size_t min_samples_leaf, std::size_t limit,
                            MoveLeft&& move_left, Visit&& visit, std::size_t n_missing_left = 0,
                            Floor weight_floor = {}) {
  const auto move = [&](std::size_t i) {
    move_left(order.position(i));
    if constexpr (Floor::kSums) weight_floor.move_left(order.position(i));
  };
  const std::size_t n = order.size() - n_missing_left;  // walked entries
  for (std::size_t i = n; i < order.size(); ++i) move(i);
  std::size_t next = 0;  // walked positions before it in value order are on the left
  std::size_t candidate = 0;
  std::size_t group_end = n == 0 ? 0 : end_of_value_group(order, n, 0);
  while (next < n && candidate < limit) {
    for (; next < group_end; ++next) move(next);
    if (next == n) break;
    // The right side only shrinks from here on.
    if (n - next < min_samples_leaf || weight_floor.right_short()) break;
    group_end = end_of_value_group(order, n, next);
    const std::size_t n_left = n_missing_left + next;
    if (n_left < min_samples_leaf || weight_floor.left_short()) continue;
    const bool last = group_end == n || n - group_end < min_samples_leaf ||
                      weight_floor.right_short_after(order, next, group_end);
    visit(candidate++, n_left, order.position(next - 1), order.position(next), last);
  }
  return candidate;
}

// scan_candidates in a weighted node of weight `total`, whose sides also hold
// at least `least` of it (a floor of 0 sums no weights).
template <ValueOrderView Order, class MoveLeft, class Visit, class WeightAt>
std::size_t scan_weighed_candidates(const Order& order, std::size_t min_samples_leaf,
                                    std::size_t limit, MoveLeft&& move_left, Visit&& visit,
                                    std::size_t n_missing_left, WeightAt weight_at, double total,
                                    double least) {
  if (least > 0.0) {
    return scan_candidates(order, min_samples_leaf, limit, move_left, visit, n_missing_left,
                           WeightFloor<WeightAt>{weight_at, total, least});
  }
  return scan_candidates(order, min_samples_leaf, limit, move_left, visit, n_missing_left);
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
