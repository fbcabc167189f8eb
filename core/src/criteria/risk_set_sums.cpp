#include "criteria/risk_set_sums.hpp"

#include <algorithm>

namespace korvane::detail {

void RiskSetSums::reset(const SortedNode& node) {
  before_.assign(1, {0.0, 0.0, 0.0});
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
  clear();
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

}  // namespace korvane::detail
