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

namespace {

using detail::EventGroupScorer;

// Walks the admissible candidates of one feature in ascending threshold order,
// moving each value group to the left side of the scorer first. `visit` gets the
// candidate's left count and the keys of the values on either side.
class FeatureScan {
 public:
  FeatureScan(const SurvivalData& data, const SortedNode& node, std::size_t min_samples_leaf)
      : data_(data), node_(node), min_samples_leaf_(min_samples_leaf),
        by_value_(node.sorted_rows.size()) {}

  template <class Visit>
  void run(std::uint32_t feature, EventGroupScorer& scorer, Visit&& visit) {
    const std::size_t n = by_value_.size();
    for (std::uint32_t pos = 0; pos < n; ++pos) {
      by_value_[pos] = {detail::order_key(data_.x.at(node_.sorted_rows[pos], feature)), pos};
    }
    detail::sort_by_key(by_value_, scratch_);
    scorer.clear();
    std::size_t n_left = 0;
    std::size_t i = 0;
    while (i < n) {
      const std::uint64_t value = by_value_[i].key;
      do {
        scorer.move_left(by_value_[i].index);
        ++n_left;
        ++i;
      } while (i < n && by_value_[i].key == value);
      if (i == n) break;
      // n_right only shrinks from here on.
      if (n - n_left < min_samples_leaf_) break;
      if (n_left < min_samples_leaf_) continue;
      visit(n_left, value, by_value_[i].key);
    }
  }

 private:
  const SurvivalData& data_;
  const SortedNode& node_;
  std::size_t min_samples_leaf_;
  std::vector<KeyedIndex> by_value_;
  std::vector<KeyedIndex> scratch_;
};

}  // namespace

// Two passes over the candidates. The first bounds every candidate's score
// cheaply; a candidate whose upper bound is below the best lower bound cannot
// be the best, not even in a tie. The second pass scores the others exactly, in
// the original order, so the result is the one a full exact search gives.
std::optional<BestSplit> LogRankCriterion::find_best_split(
    const SurvivalData& data, std::span<const std::uint32_t> rows,
    std::span<const std::uint32_t> features, std::size_t min_samples_leaf) const {
  if (rows.empty()) return std::nullopt;
  if (std::none_of(rows.begin(), rows.end(), [&](std::uint32_t r) { return data.is_event(r); })) {
    return std::nullopt;
  }
  const SortedNode node = SortedNode::from_subset(data, rows);
  EventGroupScorer scorer(node);
  FeatureScan scan(data, node, min_samples_leaf);

  // Pass 1: upper bounds per feature, in candidate order, and the best lower bound.
  std::vector<std::vector<double>> upper(features.size());
  double best_lower = -std::numeric_limits<double>::infinity();
  const auto bound_batch = [&](std::vector<double>& feature_upper) {
    const std::size_t count = scorer.candidates();
    const auto& bounds = scorer.bounds();
    for (std::size_t j = 0; j < count; ++j) {
      feature_upper.push_back(bounds[j].upper);
      best_lower = std::max(best_lower, bounds[j].lower);
    }
  };
  for (std::size_t f = 0; f < features.size(); ++f) {
    scan.run(features[f], scorer, [&](std::size_t n_left, std::uint64_t, std::uint64_t) {
      if (scorer.add_candidate(n_left)) bound_batch(upper[f]);
    });
    if (scorer.candidates() > 0) bound_batch(upper[f]);
  }

  // Pass 2: exact scores of the candidates that may be the best. They are judged
  // in the order they were formed, so ties keep the earlier feature and the
  // smaller threshold.
  std::optional<BestSplit> best;
  double best_score = -std::numeric_limits<double>::infinity();
  std::array<std::pair<std::uint64_t, std::uint64_t>, EventGroupScorer::kLanes> neighbours{};
  const auto judge_batch = [&](std::uint32_t feature) {
    const std::size_t count = scorer.candidates();
    const auto& scores = scorer.scores();
    for (std::size_t j = 0; j < count; ++j) {
      if (scores[j] > best_score) {
        best = BestSplit{feature, detail::midpoint(neighbours[j].first, neighbours[j].second),
                         scores[j]};
        best_score = scores[j];
      }
    }
  };
  for (std::size_t f = 0; f < features.size(); ++f) {
    if (std::none_of(upper[f].begin(), upper[f].end(), [&](double u) { return u >= best_lower; })) {
      continue;
    }
    std::size_t candidate = 0;
    scan.run(features[f], scorer, [&](std::size_t n_left, std::uint64_t value, std::uint64_t next) {
      if (upper[f][candidate++] < best_lower) return;
      neighbours[scorer.candidates()] = {value, next};
      if (scorer.add_candidate(n_left)) judge_batch(features[f]);
    });
    if (scorer.candidates() > 0) judge_batch(features[f]);
  }
  return best;
}

}  // namespace korvane
