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

using detail::RankedPosition;

SortedNode SortedNode::from_subset(const SurvivalData& data, std::span<const std::uint32_t> rows) {
  // The binding refuses NaN times; only a caller writing during the fit gets here.
  assert(std::none_of(rows.begin(), rows.end(), [&](std::uint32_t r) { return std::isnan(data.time[r]); }));
  std::vector<RankedPosition> by_time;
  detail::OrderScratch scratch;
  detail::order_positions(
      rows.size(), data.ranks != nullptr, [&](std::uint32_t i) { return data.ranks->time[rows[i]]; },
      [&](std::uint32_t i) { return detail::order_key(data.time[rows[i]]); }, by_time, scratch);

  SortedNode node;
  node.sorted_rows.reserve(rows.size());
  node.sorted_events.reserve(rows.size());
  node.groups.reserve(rows.size());
  node.group_events.reserve(rows.size());
  node.group_at_risk.reserve(rows.size());
  for (const RankedPosition entry : by_time) {
    const std::uint32_t row = rows[detail::position_of(entry)];
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
    } while (end < n && detail::rank_of(by_time[end]) == detail::rank_of(by_time[start]));
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
// moving each value group to the left side of the scorer first, and stops after
// `limit` candidates. `visit` gets the candidate's index, its left count, the
// rows holding the values on either side, and whether no candidate follows it.
// Returns how many candidates it visited. A feature's value order is sorted on
// its first walk and kept for the later ones.
class FeatureScan {
 public:
  FeatureScan(const SurvivalData& data, const SortedNode& node, std::size_t n_features,
              std::size_t min_samples_leaf)
      : data_(data), node_(node), min_samples_leaf_(min_samples_leaf), by_value_(n_features) {}

  template <class Visit>
  std::size_t run(std::size_t slot, std::uint32_t feature, EventGroupScorer& scorer,
                  std::size_t limit, Visit&& visit) {
    const std::vector<RankedPosition>& order = value_order(slot, feature);
    const std::size_t n = order.size();
    scorer.clear();
    // Positions before `n_left` in value order are on the left.
    std::size_t n_left = 0;
    std::size_t candidate = 0;
    while (n_left < n && candidate < limit) {
      const std::size_t group_end = end_of_value_group(order, n_left);
      for (; n_left < group_end; ++n_left) scorer.move_left(detail::position_of(order[n_left]));
      if (n_left == n) break;
      // n_right only shrinks from here on.
      if (n - n_left < min_samples_leaf_) break;
      if (n_left < min_samples_leaf_) continue;
      const std::size_t next_end = end_of_value_group(order, n_left);
      const bool last = next_end == n || n - next_end < min_samples_leaf_;
      visit(candidate++, n_left, node_.sorted_rows[detail::position_of(order[n_left - 1])],
            node_.sorted_rows[detail::position_of(order[n_left])], last);
    }
    return candidate;
  }

 private:
  const std::vector<RankedPosition>& value_order(std::size_t slot, std::uint32_t feature) {
    std::vector<RankedPosition>& order = by_value_[slot];
    if (order.empty()) detail::order_by_covariate(data_, node_.sorted_rows, feature, order, scratch_);
    return order;
  }

  [[nodiscard]] static std::size_t end_of_value_group(const std::vector<RankedPosition>& order,
                                                      std::size_t start) {
    const std::uint32_t rank = detail::rank_of(order[start]);
    std::size_t end = start + 1;
    while (end < order.size() && detail::rank_of(order[end]) == rank) ++end;
    return end;
  }

  const SurvivalData& data_;
  const SortedNode& node_;
  std::size_t min_samples_leaf_;
  std::vector<std::vector<RankedPosition>> by_value_;  // per candidate feature
  detail::OrderScratch scratch_;
};

// Candidates per run in the first pass: large nodes bound runs of consecutive
// candidates at once, small ones bound each candidate.
constexpr std::size_t kRowsPerRunCandidate = 64;
constexpr std::size_t kLongestRun = 16;

std::size_t candidates_per_run(std::size_t n_rows) {
  return std::clamp<std::size_t>(n_rows / kRowsPerRunCandidate, 1, kLongestRun);
}

// The search over one node. Passes narrow the candidates down: bounds on runs of
// consecutive candidates (large nodes only), bounds on single candidates, exact
// scores. A candidate whose upper bound is below the best lower bound seen
// cannot be the best, not even in a tie, so each pass skips it; the last pass
// judges the rest in the order they were formed, and the result is the one a
// full exact search gives.
class SplitSearch {
 public:
  SplitSearch(const SurvivalData& data, const SortedNode& node,
              std::span<const std::uint32_t> features, std::size_t min_samples_leaf,
              detail::VectorUnit unit)
      : data_(data),
        features_(features),
        scorer_(node, unit),
        scan_(data, node, features.size(), min_samples_leaf),
        run_(candidates_per_run(node.sorted_rows.size())),
        upper_(features.size(), {std::numeric_limits<double>::infinity()}) {}

  std::optional<BestSplit> run() {
    if (run_ > 1) bound_runs();
    bound_candidates();
    return score_candidates();
  }

 private:
  using Bounds = EventGroupScorer::ScoreBounds;

  // Upper bounds per run of `run_` candidates; lanes hold each run's first and
  // last candidate.
  void bound_runs() {
    const auto bound_batch = [&](std::vector<double>& upper) {
      const std::size_t runs = scorer_.candidates() / 2;
      const auto& bounds = scorer_.block_bounds();
      for (std::size_t j = 0; j < runs; ++j) keep(upper, bounds[j]);
    };
    for (std::size_t f = 0; f < features_.size(); ++f) {
      std::vector<double> upper;
      std::size_t in_run = 0;
      scan_.run(f, features_[f], scorer_, SIZE_MAX,
                [&](std::size_t, std::size_t n_left, std::uint32_t, std::uint32_t, bool last) {
                  if (in_run == 0) scorer_.add_candidate(n_left);
                  if (++in_run == run_ || last) {
                    in_run = 0;
                    if (scorer_.add_candidate(n_left)) bound_batch(upper);
                  }
                });
      if (scorer_.candidates() > 0) bound_batch(upper);
      upper_[f] = std::move(upper);
    }
    candidates_per_bound_ = run_;
  }

  // Upper bounds per candidate (-inf for those already ruled out).
  void bound_candidates() {
    std::array<std::size_t, EventGroupScorer::kLanes> lane_candidate{};
    for (std::size_t f = 0; f < features_.size(); ++f) {
      std::vector<double> upper;
      const auto bound_batch = [&] {
        const std::size_t count = scorer_.candidates();
        const auto& bounds = scorer_.bounds();
        for (std::size_t j = 0; j < count; ++j) {
          upper.resize(lane_candidate[j], -std::numeric_limits<double>::infinity());
          keep(upper, bounds[j]);
        }
      };
      const std::size_t count = visit_survivors(
          f, [&](std::size_t candidate, std::size_t n_left, std::uint32_t, std::uint32_t) {
            lane_candidate[scorer_.candidates()] = candidate;
            if (scorer_.add_candidate(n_left)) bound_batch();
          });
      if (scorer_.candidates() > 0) bound_batch();
      upper.resize(count, -std::numeric_limits<double>::infinity());
      upper_[f] = std::move(upper);
    }
    candidates_per_bound_ = 1;
  }

  std::optional<BestSplit> score_candidates() {
    std::optional<BestSplit> best;
    double best_score = -std::numeric_limits<double>::infinity();
    // Rows holding the values on either side of each held candidate.
    std::array<std::pair<std::uint32_t, std::uint32_t>, EventGroupScorer::kLanes> neighbours{};
    for (std::size_t f = 0; f < features_.size(); ++f) {
      const auto judge_batch = [&] {
        const std::size_t count = scorer_.candidates();
        const auto& scores = scorer_.scores();
        for (std::size_t j = 0; j < count; ++j) {
          if (scores[j] > best_score) {
            const auto [left, right] = neighbours[j];
            best = BestSplit{features_[f],
                             detail::midpoint(data_.x.at(left, features_[f]),
                                              data_.x.at(right, features_[f])),
                             scores[j]};
            best_score = scores[j];
          }
        }
      };
      visit_survivors(f, [&](std::size_t, std::size_t n_left, std::uint32_t left_row,
                             std::uint32_t right_row) {
        neighbours[scorer_.candidates()] = {left_row, right_row};
        if (scorer_.add_candidate(n_left)) judge_batch();
      });
      if (scorer_.candidates() > 0) judge_batch();
    }
    return best;
  }

  void keep(std::vector<double>& upper, const Bounds& bounds) {
    upper.push_back(bounds.upper);
    best_lower_ = std::max(best_lower_, bounds.lower);
  }

  // Walks feature f's candidates that no bound has ruled out yet, up to the
  // last of them; returns how many candidates it walked past.
  template <class Visit>
  std::size_t visit_survivors(std::size_t f, Visit&& visit) {
    const std::vector<double>& upper = upper_[f];
    const auto survives = [&](double bound) { return bound >= best_lower_; };
    const auto last = std::find_if(upper.rbegin(), upper.rend(), survives);
    if (last == upper.rend()) return 0;
    const std::size_t entries = static_cast<std::size_t>(upper.rend() - last);
    const std::size_t limit = entries > SIZE_MAX / candidates_per_bound_
                                  ? SIZE_MAX
                                  : entries * candidates_per_bound_;
    return scan_.run(f, features_[f], scorer_, limit,
                     [&](std::size_t candidate, std::size_t n_left, std::uint32_t left_row,
                         std::uint32_t right_row, bool) {
                       if (survives(upper[candidate / candidates_per_bound_])) {
                         visit(candidate, n_left, left_row, right_row);
                       }
                     });
  }

  const SurvivalData& data_;
  std::span<const std::uint32_t> features_;
  EventGroupScorer scorer_;
  FeatureScan scan_;
  std::size_t run_;  // candidates per run in the first pass
  // Per feature, upper bounds on the scores of consecutive groups of
  // candidates_per_bound_ candidates; before any pass, one unbounded group.
  std::vector<std::vector<double>> upper_;
  std::size_t candidates_per_bound_ = SIZE_MAX;
  double best_lower_ = -std::numeric_limits<double>::infinity();
};

using detail::VectorUnit;

// The whole search compiled for each vector unit (every call inside inlined),
// so that the scan's moves use the wide registers too.
__attribute__((target("avx512f"), flatten)) std::optional<BestSplit> search_avx512(
    const SurvivalData& data, const SortedNode& node, std::span<const std::uint32_t> features,
    std::size_t min_samples_leaf) {
  return SplitSearch(data, node, features, min_samples_leaf, VectorUnit::kAvx512).run();
}

__attribute__((target("avx2"), flatten)) std::optional<BestSplit> search_avx2(
    const SurvivalData& data, const SortedNode& node, std::span<const std::uint32_t> features,
    std::size_t min_samples_leaf) {
  return SplitSearch(data, node, features, min_samples_leaf, VectorUnit::kAvx2).run();
}

std::optional<BestSplit> search_baseline(const SurvivalData& data, const SortedNode& node,
                                         std::span<const std::uint32_t> features,
                                         std::size_t min_samples_leaf) {
  return SplitSearch(data, node, features, min_samples_leaf, VectorUnit::kBaseline).run();
}

}  // namespace

namespace detail {

std::optional<BestSplit> find_log_rank_split(const SurvivalData& data,
                                             std::span<const std::uint32_t> rows,
                                             std::span<const std::uint32_t> features,
                                             std::size_t min_samples_leaf, VectorUnit unit) {
  if (rows.empty()) return std::nullopt;
  if (std::none_of(rows.begin(), rows.end(), [&](std::uint32_t r) { return data.is_event(r); })) {
    return std::nullopt;
  }
  const SortedNode node = SortedNode::from_subset(data, rows);
  switch (unit) {
    case VectorUnit::kAvx512:
      return search_avx512(data, node, features, min_samples_leaf);
    case VectorUnit::kAvx2:
      return search_avx2(data, node, features, min_samples_leaf);
    case VectorUnit::kBaseline:
      break;
  }
  return search_baseline(data, node, features, min_samples_leaf);
}

}  // namespace detail

std::optional<BestSplit> LogRankCriterion::find_best_split(
    const SurvivalData& data, std::span<const std::uint32_t> rows,
    std::span<const std::uint32_t> features, std::size_t min_samples_leaf) const {
  return detail::find_log_rank_split(data, rows, features, min_samples_leaf,
                                     detail::widest_vector_unit());
}

}  // namespace korvane
