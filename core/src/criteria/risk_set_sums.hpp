#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "criteria/score_interval.hpp"
#include "criteria/sorted_node.hpp"

namespace korvane::detail {

// Bounds on the log-rank score of the current left side of a feature's scan,
// kept up to date in O(log K) per moved occurrence (K event groups) instead of
// a pass over every event group per candidate. With n_k left occurrences at
// risk in event group k (d_k events of y_k at risk), the statistic's parts are
//   U = O - sum_k w_k n_k,  V = sum_k a_k n_k - sum_k b_k n_k²,
// with w_k = d_k / y_k, a_k = d_k (y_k - d_k) / ((y_k - 1) y_k), b_k = a_k / y_k.
// Moving an occurrence at risk in the first β groups adds 1 to n_0 .. n_{β-1}:
// the linear sums grow by prefix sums over those groups, and the quadratic one
// by 2 sum_{k<β} b_k n_k + B(β), read from a Fenwick tree over the buckets of
// the left occurrences.
//
// These sums are formed in another order than the exact pass's, so they only
// bound its result: every term is non-negative and passes through at most
// about 2N + 2K roundings, so each sum lies within a relative (2N + 2K + 128)·u
// of its true value; the exact pass's own distance from the true U and V is
// added on top. Only the subtraction in V loses relative accuracy, and then the
// interval widens rather than becoming wrong.
class RiskSetSums {
 public:
  // Takes the sums of `node`'s event groups, with nothing on the left. The
  // arrays keep their capacity from node to node: at the top of a tree with
  // continuous times they take tens of MB, and made anew per node they would
  // be freed under the arrays a tree keeps.
  void reset(const SortedNode& node);
  // Starts a new feature: nothing is on the left.
  void clear();
  // Moves an occurrence of `bucket` (position_buckets), an event or not, to
  // the left side. Callers pass what they read of a position rather than the
  // position: a feature's scan visits positions in value order, and gathering
  // per-position data there would miss the caches at every move of a large node.
  void move_left(std::uint32_t bucket, bool event);
  // Asks the caches for what a later move_left(bucket) reads. With tens of
  // thousands of buckets the Fenwick tree and the per-bucket sums outgrow the
  // caches, and a move of a random bucket would otherwise wait for each of
  // its misses in turn; a scan knows its moves ahead, so their misses overlap.
  // Only the lowest nodes of the Fenwick paths are asked for: the higher ones
  // are shared by many buckets and stay cached.
  void prefetch(std::uint32_t bucket) const {
    __builtin_prefetch(&before_[bucket]);
    __builtin_prefetch(&fenwick_[bucket]);
    __builtin_prefetch(&fenwick_[bucket + 1]);
  }
  // Whether the buckets' sums and Fenwick tree are too large for the caches
  // to keep between random moves, so that asking ahead pays.
  [[nodiscard]] bool outgrows_caches() const { return before_.size() >= kBucketsBeyondCaches; }
  // An interval holding the exact pass's score of the current left side, or
  // {-inf, -inf} when that score is certainly below `floor` (score_interval_above).
  [[nodiscard]] ScoreBounds bounds(double floor = -std::numeric_limits<double>::infinity()) const;

 private:
  // Sums over the event groups before a bucket: groups k < β for bucket β.
  struct GroupSums {
    double expected;   // W(β), sum of w_k
    double linear;     // A(β), sum of a_k
    double quadratic;  // B(β), sum of b_k
  };
  // A Fenwick tree node over the left occurrences' buckets.
  struct LeftBuckets {
    std::uint32_t count;
    double quadratic;  // sum of B(bucket) of the occurrences counted
  };

  [[nodiscard]] LeftBuckets left_before(std::uint32_t bucket) const;
  void add_left(std::uint32_t bucket, double quadratic);

  // 40 bytes a bucket: from here on a core's share of the caches is full.
  static constexpr std::size_t kBucketsBeyondCaches = 16384;

  std::vector<GroupSums> before_;     // per bucket
  std::vector<LeftBuckets> fenwick_;  // 1-based over the buckets
  std::uint32_t n_left_ = 0;
  std::uint32_t events_left_ = 0;
  double expected_ = 0.0;     // sum_k w_k n_k
  double linear_ = 0.0;       // sum_k a_k n_k
  double quadratic_ = 0.0;    // sum_k b_k n_k²
  double sums_error_ = 0.0;   // relative error of each of the three sums
  double exact_slack_ = 0.0;  // the exact pass's, see exact_pass_slack
};

// Defined here so that a scan inlines its moves and bounds, compiled for
// its vector unit.
inline void RiskSetSums::move_left(std::uint32_t bucket, bool event) {
  const GroupSums& before = before_[bucket];
  // sum_{k<β} b_k n_k: a left occurrence of bucket β' adds B(min(β, β')).
  const LeftBuckets below = left_before(bucket);
  const double shared =
      before.quadratic * static_cast<double>(n_left_ - below.count) + below.quadratic;
  quadratic_ += 2.0 * shared + before.quadratic;
  linear_ += before.linear;
  expected_ += before.expected;
  events_left_ += event ? 1 : 0;
  ++n_left_;
  add_left(bucket, before.quadratic);
}

inline ScoreBounds RiskSetSums::bounds(double floor) const {
  const double observed = events_left_;
  const double u = observed - expected_;
  const double v = linear_ - quadratic_;
  const double magnitude = u < 0.0 ? -u : u;
  // How far these sums (and the roundings of u and v) may lie from the truth,
  // then how far the exact pass may lie from it.
  const double own = sums_error_ + 4.0 * kUnitRoundoff;
  const double mass = observed + expected_;
  const double v_own = own * (linear_ + quadratic_);
  const double u_error = own * mass + exact_slack_ * mass * (1.0 + own);
  const double v_magnitude = (v < 0.0 ? -v : v) + v_own;
  const double v_error = v_own + exact_slack_ * (v_magnitude + mass) * (1.0 + own);
  return score_interval_above(magnitude, magnitude, v, u_error, v_error, floor);
}

inline RiskSetSums::LeftBuckets RiskSetSums::left_before(std::uint32_t bucket) const {
  LeftBuckets sum{0, 0.0};
  for (std::size_t i = bucket; i > 0; i -= i & (~i + 1)) {
    sum.count += fenwick_[i].count;
    sum.quadratic += fenwick_[i].quadratic;
  }
  return sum;
}

inline void RiskSetSums::add_left(std::uint32_t bucket, double quadratic) {
  for (std::size_t i = bucket + 1; i < fenwick_.size(); i += i & (~i + 1)) {
    ++fenwick_[i].count;
    fenwick_[i].quadratic += quadratic;
  }
}

}  // namespace korvane::detail
