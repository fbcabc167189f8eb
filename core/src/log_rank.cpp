#include <algorithm>
#include <cassert>
#include <cmath>
#include <array>
#include <utility>
#include <limits>

#include "korvane/splits.hpp"
#include "event_group_scorer.hpp"
#include "value_order.hpp"

namespace korvane {

using detail::KeyedIndex;

SortedNode SortedNode::from_subset(const SurvivalData& data, std::span<const std::uint32_t> rows) {
  std::vector<KeyedIndex> by_time(rows.size());
  std::vector<KeyedIndex> scratch;
  for (std::uint32_t i = 0; i < rows.size(); ++i) {
    // The binding refuses NaN times; only a caller writing during the fit gets here.
    assert(!std::isnan(data.time[rows[i]]));
    by_time[i] = {detail::order_key(data.time[rows[i]]), i};
  }
  detail::sort_by_key(by_time, scratch);

  SortedNode node;
  node.sorted_rows.reserve(rows.size());
  node.sorted_events.reserve(rows.size());
  for (const KeyedIndex& entry : by_time) {
    const std::uint32_t row = rows[entry.index];
    node.sorted_rows.push_back(row);
    node.sorted_events.push_back(data.is_event(row) ? 1 : 0);
  }
  const auto n = static_cast<std::uint32_t>(rows.size());
  std::uint32_t at_risk = n;
  for (std::uint32_t start = 0; start < n;) {
    std::uint32_t end = start;
    std::uint32_t events = 0;
    do {
      events += node.sorted_events[end];
      ++end;
    } while (end < n && by_time[end].key == by_time[start].key);
    node.groups.push_back({start, end});
    node.group_events.push_back(events);
    node.group_at_risk.push_back(at_risk);
    at_risk -= end - start;
    start = end;
  }
  return node;
}

double SortedNode::log_rank_score(std::span<const std::uint8_t> in_left) const {
  std::uint64_t at_risk_left = 0;
  for (const std::uint8_t mark : in_left) at_risk_left += mark;
  double u = 0.0;
  double v = 0.0;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    std::uint64_t marked = 0;
    std::uint64_t marked_events = 0;
    for (std::uint32_t pos = groups[g].start; pos < groups[g].end; ++pos) {
      marked += in_left[pos];
      marked_events += in_left[pos] & sorted_events[pos];
    }
    const std::uint32_t d = group_events[g];
    const std::uint32_t y = group_at_risk[g];
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

std::optional<BestSplit> LogRankCriterion::find_best_split(
    const SurvivalData& data, std::span<const std::uint32_t> rows,
    std::span<const std::uint32_t> features, std::size_t min_samples_leaf) const {
  if (rows.empty()) return std::nullopt;
  if (std::none_of(rows.begin(), rows.end(), [&](std::uint32_t r) { return data.is_event(r); })) {
    return std::nullopt;
  }
  const SortedNode node = SortedNode::from_subset(data, rows);
  detail::EventGroupScorer scorer(node);
  const std::size_t n = rows.size();
  std::vector<KeyedIndex> by_value(n);
  std::vector<KeyedIndex> scratch;
  std::optional<BestSplit> best;
  double best_score = -std::numeric_limits<double>::infinity();
  // Neighbouring value keys of the candidates waiting in the scorer's lanes.
  std::array<std::pair<std::uint64_t, std::uint64_t>, detail::EventGroupScorer::kLanes> bounds{};
  // Candidates are judged in the order they were formed, so ties keep the
  // earlier feature and the smaller threshold.
  const auto judge_batch = [&](std::uint32_t feature) {
    const std::size_t count = scorer.candidates();
    const auto& scores = scorer.scores();
    for (std::size_t j = 0; j < count; ++j) {
      if (scores[j] > best_score) {
        best = BestSplit{feature, detail::midpoint(bounds[j].first, bounds[j].second), scores[j]};
        best_score = scores[j];
      }
    }
  };
  for (const std::uint32_t feature : features) {
    for (std::uint32_t pos = 0; pos < n; ++pos) {
      by_value[pos] = {detail::order_key(data.x.at(node.sorted_rows[pos], feature)), pos};
    }
    detail::sort_by_key(by_value, scratch);
    scorer.clear();
    std::size_t n_left = 0;
    std::size_t i = 0;
    while (i < n) {
      const std::uint64_t value = by_value[i].key;
      do {
        scorer.move_left(by_value[i].index);
        ++n_left;
        ++i;
      } while (i < n && by_value[i].key == value);
      if (i == n) break;
      // n_right only shrinks from here on.
      if (n - n_left < min_samples_leaf) break;
      if (n_left < min_samples_leaf) continue;
      bounds[scorer.candidates()] = {value, by_value[i].key};
      if (scorer.add_candidate(n_left)) judge_batch(feature);
    }
    if (scorer.candidates() > 0) judge_batch(feature);
  }
  return best;
}

}  // namespace korvane
