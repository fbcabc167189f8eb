#include <algorithm>
#include <limits>

#include "korvane/splits.hpp"
#include "value_order.hpp"

namespace korvane {

using detail::KeyedIndex;

SortedNode SortedNode::from_subset(const SurvivalData& data, std::span<const std::uint32_t> rows) {
  std::vector<KeyedIndex> by_time(rows.size());
  for (std::uint32_t i = 0; i < rows.size(); ++i) {
    by_time[i] = {detail::order_key(data.time[rows[i]]), i};
  }
  detail::sort_by_key(by_time);

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

// The log-rank pass restricted to event groups. A group without events adds
// nothing to U or V; its left occurrences only leave the left risk set, so their
// count is folded into the preceding event group (or subtracted up front). The
// arithmetic per event group is the reference order, so scores are identical to
// the last bit.
class EventGroupScorer {
 public:
  explicit EventGroupScorer(const SortedNode& node) : events_(node.sorted_events) {
    bucket_.resize(node.sorted_rows.size());
    std::uint32_t bucket = 0;  // 0: before the first event group; k + 1: after event group k
    for (std::size_t g = 0; g < node.groups.size(); ++g) {
      const std::uint32_t d = node.group_events[g];
      const std::uint32_t y = node.group_at_risk[g];
      if (d > 0) {
        ++bucket;
        groups_.push_back({static_cast<double>(d), static_cast<double>(y),
                           static_cast<double>(y) - static_cast<double>(d),
                           static_cast<double>(y - 1), y > 1});
      }
      for (std::uint32_t pos = node.groups[g].start; pos < node.groups[g].end; ++pos) {
        bucket_[pos] = bucket;
      }
    }
    left_in_bucket_.resize(groups_.size() + 1);
    left_events_.resize(groups_.size());
  }

  void clear() {
    std::fill(left_in_bucket_.begin(), left_in_bucket_.end(), 0);
    std::fill(left_events_.begin(), left_events_.end(), 0);
  }

  // Moves the occurrence at a position of the time order to the left side.
  void move_left(std::uint32_t position) {
    const std::uint32_t bucket = bucket_[position];
    ++left_in_bucket_[bucket];
    if (events_[position] != 0) ++left_events_[bucket - 1];
  }

  [[nodiscard]] double score(std::size_t n_left) const {
    std::size_t at_risk_left = n_left - left_in_bucket_[0];
    double u = 0.0;
    double v = 0.0;
    for (std::size_t k = 0; k < groups_.size(); ++k) {
      const EventGroup& group = groups_[k];
      const double p = static_cast<double>(at_risk_left) / group.at_risk;
      const double e = p * group.events;
      u = u + (static_cast<double>(left_events_[k]) - e);
      if (group.has_variance) v = v + (group.survivors * (e * (1.0 - p))) / group.at_risk_minus_one;
      at_risk_left -= left_in_bucket_[k + 1];
    }
    return v > 0.0 ? u * u / v : 0.0;
  }

 private:
  struct EventGroup {
    double events;
    double at_risk;
    double survivors;  // at risk minus events
    double at_risk_minus_one;
    bool has_variance;
  };

  const std::vector<std::uint8_t>& events_;
  std::vector<std::uint32_t> bucket_;
  std::vector<EventGroup> groups_;
  std::vector<std::uint32_t> left_in_bucket_;
  std::vector<std::uint32_t> left_events_;
};

}  // namespace

std::optional<BestSplit> LogRankCriterion::find_best_split(
    const SurvivalData& data, std::span<const std::uint32_t> rows,
    std::span<const std::uint32_t> features, std::size_t min_samples_leaf) const {
  if (rows.empty()) return std::nullopt;
  if (std::none_of(rows.begin(), rows.end(), [&](std::uint32_t r) { return data.is_event(r); })) {
    return std::nullopt;
  }
  const SortedNode node = SortedNode::from_subset(data, rows);
  EventGroupScorer scorer(node);
  const std::size_t n = rows.size();
  std::vector<KeyedIndex> by_value(n);
  std::optional<BestSplit> best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (const std::uint32_t feature : features) {
    for (std::uint32_t pos = 0; pos < n; ++pos) {
      by_value[pos] = {detail::order_key(data.x.at(node.sorted_rows[pos], feature)), pos};
    }
    detail::sort_by_key(by_value);
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
      const double score = scorer.score(n_left);
      if (score > best_score) {
        best = BestSplit{feature, detail::midpoint(value, by_value[i].key), score};
        best_score = score;
      }
    }
  }
  return best;
}

}  // namespace korvane
