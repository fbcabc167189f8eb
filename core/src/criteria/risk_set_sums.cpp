#include "criteria/risk_set_sums.hpp"

#include <algorithm>

namespace korvane::detail {

RiskSetSums::RiskSetSums(const SortedNode& node) {
  before_.push_back({0.0, 0.0, 0.0});
  node.for_each_bucket([&](std::size_t g, std::uint32_t bucket) {
    const double d = node.group_events[g];
    const double y = node.group_at_risk[g];
    if (bucket == before_.size()) {
      // With a single occurrence at risk nothing varies: a_k = 0.
      const double a = y > 1.0 ? d * (y - d) / ((y - 1.0) * y) : 0.0;
      const GroupSums& last = before_.back();
      before_.push_back({last.expected + d / y, last.linear + a, last.quadratic + a / y});
    }
  });
  fenwick_.resize(before_.size() + 1);
  const double roundings =
      2.0 * static_cast<double>(node.sorted_rows.size() + before_.size()) + 128.0;
  sums_error_ = 4.0 * roundings * kUnitRoundoff;
  exact_slack_ = exact_pass_slack(before_.size() - 1);
}

void RiskSetSums::clear() {
  std::fill(fenwick_.begin(), fenwick_.end(), LeftBuckets{0, 0.0});
  n_left_ = 0;
  events_left_ = 0;
  expected_ = 0.0;
  linear_ = 0.0;
  quadratic_ = 0.0;
}

void RiskSetSums::move_left(std::uint32_t bucket, bool event) {
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

ScoreBounds RiskSetSums::bounds() const {
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
  return score_interval(magnitude, magnitude, v, u_error, v_error);
}

RiskSetSums::LeftBuckets RiskSetSums::left_before(std::uint32_t bucket) const {
  LeftBuckets sum{0, 0.0};
  for (std::size_t i = bucket; i > 0; i -= i & (~i + 1)) {
    sum.count += fenwick_[i].count;
    sum.quadratic += fenwick_[i].quadratic;
  }
  return sum;
}

void RiskSetSums::add_left(std::uint32_t bucket, double quadratic) {
  for (std::size_t i = bucket + 1; i < fenwick_.size(); i += i & (~i + 1)) {
    ++fenwick_[i].count;
    fenwick_[i].quadratic += quadratic;
  }
}

}  // namespace korvane::detail
