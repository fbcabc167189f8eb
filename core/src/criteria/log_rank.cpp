#include "korvane/criteria/log_rank.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "candidate_scan.hpp"
#include "criteria/event_group_scorer.hpp"
#include "criteria/risk_set_sums.hpp"
#include "criteria/sorted_node.hpp"
#include "korvane/error.hpp"
#include "time_groups.hpp"
#include "value_order.hpp"

namespace korvane {

namespace detail {

namespace {

// Groups the node's positions by time, the occurrences counted or weighed as
// `weight_at` says; `record(events, at_risk)` keeps each group's totals.
template <class Count, class WeightAt, class Record>
void group_by_time(SortedNode& node, std::span<const RankedPosition> by_time, Count total,
                   WeightAt&& weight_at, Record&& record) {
  for_each_weighted_time_group(
      by_time.size(), total,
      [&](std::size_t start, std::size_t i) {
        return rank_of(by_time[i]) == rank_of(by_time[start]);
      },
      [&](std::size_t i) { return node.sorted_events[i] != 0; }, weight_at,
      [&](std::size_t start, std::size_t end, Count events, Count at_risk) {
        node.groups.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
        record(events, at_risk);
      });
}

}  // namespace

SortedNode SortedNode::of(const LogRankCriterion& criterion, std::span<const std::uint32_t> rows) {
  SortedNode node;
  std::vector<RankedPosition> by_time;
  OrderScratch scratch;
  node.assign(criterion, rows, by_time, scratch);
  return node;
}

void SortedNode::assign(const LogRankCriterion& criterion, std::span<const std::uint32_t> rows,
                        std::vector<RankedPosition>& by_time, OrderScratch& scratch) {
  const std::span<const std::uint32_t> time_ranks = criterion.time_ranks();
  const std::span<const double> weight = criterion.weight();
  order_by_rank(
      rows.size(),
      [&](std::uint32_t i) {
        prefetch_gather(time_ranks.data(), rows, i);
        prefetch_gather(criterion.event().data(), rows, i);
        return time_ranks[rows[i]];
      },
      by_time, scratch);
  sorted_weights.clear();
  groups.clear();
  group_events.clear();
  group_at_risk.clear();
  group_weighted_events.clear();
  group_weighted_at_risk.clear();
  const std::size_t n = rows.size();
  sorted_rows.resize(n);
  sorted_events.resize(n);
  // Through pointers of their own: a byte written through a vector could be
  // the vector's own pointers, as far as the compiler knows, so each store
  // would reload them.
  std::uint32_t* const out_rows = sorted_rows.data();
  std::uint8_t* const out_events = sorted_events.data();
  const std::uint8_t* const event = criterion.event().data();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t row = rows[position_of(by_time[i])];
    out_rows[i] = row;
    out_events[i] = is_event(event[row]) ? 1 : 0;
  }
  if (!weight.empty()) {
    sorted_weights.resize(n);
    for (std::size_t i = 0; i < n; ++i) sorted_weights[i] = weight[out_rows[i]];
  }
  if (weight.empty()) {
    group_by_time(
        *this, by_time, rows.size(), [](std::size_t) { return std::size_t{1}; },
        [&](std::size_t events, std::size_t at_risk) {
          group_events.push_back(static_cast<std::uint32_t>(events));
          group_at_risk.push_back(static_cast<std::uint32_t>(at_risk));
        });
  } else {
    // Sums of rounded weights are exact, so the order they run in does not matter.
    double total = 0.0;
    for (const double w : sorted_weights) total += w;
    group_by_time(
        *this, by_time, total, [&](std::size_t i) { return sorted_weights[i]; },
        [&](double events, double at_risk) {
          group_weighted_events.push_back(events);
          group_weighted_at_risk.push_back(at_risk);
        });
  }
}

}  // namespace detail

namespace {

using detail::EventGroupScorer;
using detail::RankedPosition;
using detail::RiskSetSums;
using detail::SortedNode;

// One walk over the candidates of a candidate feature. A feature whose rows at
// the node all hold a value has one; one with missing values has two, missing
// rows right then left, so that on a tie the side splits have always taken
// wins.
struct FeatureWalk {
  std::size_t slot;  // the feature's place among the node's candidate features
  std::uint32_t feature;
  std::size_t n_missing_left;
  MissingSide missing;
  // Its candidates, counted up to kFewCandidates + 1: a walk with few is
  // scored exactly without being bounded first.
  std::size_t n_candidates = 0;
};

// A walk with at most this many candidates fills one batch of the scorer:
// bounding them first would cost a pass of its own over the event groups, a
// second walk over the feature and a clearing of the scorer, and still leave
// a batch to score. Most walks of small nodes have this few.
constexpr std::size_t kFewCandidates = EventGroupScorer::kLanes;

// A feature's value order as the scan reads it: per index in this order the
// value's rank, the position in the time order and, in an unweighted node,
// its bucket and event. A scan reads all of them in step, so its moves stay in
// the caches however large the node; the positions alone are gathered once,
// in one tight loop, when the order is made. A node holds one per candidate
// feature at once, so every byte per entry counts at the root of a large tree.
struct ValueOrder {
  std::vector<std::uint32_t> ranks;
  std::vector<std::uint32_t> positions;
  std::vector<std::uint32_t> buckets;
  std::vector<std::uint8_t> events;
};

// How many moves ahead a scan asks the caches for a move's data: enough for
// the misses of a few moves to be under way at once.
constexpr std::uint32_t kMovesAhead = 16;

// The candidates of one feature for the log-rank scorer: the shared candidate
// scan, with each value group moved to the scorer's left side and candidates
// reported by the rows holding the values on either side. Every candidate
// feature's value order is sorted (in `sorted`, shared) when the walks are
// made and kept for all of them, in `by_value` (per candidate feature), whose
// earlier contents are dropped.
class FeatureScan {
 public:
  FeatureScan(const Covariates& covariates, const SortedNode& node, std::size_t n_features,
              const ChildFloor& floor, std::vector<ValueOrder>& by_value,
              std::vector<std::uint32_t>& position_buckets, std::vector<RankedPosition>& sorted,
              detail::OrderScratch& scratch)
      : covariates_(covariates),
        node_(node),
        floor_(floor),
        position_buckets_(position_buckets),
        by_value_(by_value),
        sorted_(sorted),
        scratch_(scratch) {
    if (by_value_.size() < n_features) by_value_.resize(n_features);
    if (!node.weighted()) node.position_buckets(position_buckets_);
    if (node.weighted() && floor.weight > 0.0) {
      for (const double w : node.sorted_weights) node_weight_ += w;
    }
  }

  // The walks over the candidate features, in examination order, into
  // `walks`, with the features' value orders.
  void walks(std::span<const std::uint32_t> features, std::vector<FeatureWalk>& walks) {
    make_value_orders(features);
    walks.clear();
    for (std::size_t slot = 0; slot < features.size(); ++slot) {
      const std::uint32_t feature = features[slot];
      const std::uint32_t missing_rank = covariates_.missing_ranks[feature];
      const std::size_t n_missing =
          missing_rank == Covariates::kNoMissingRank
              ? 0
              : detail::n_missing_at_end(detail::IndexOrder{by_value_[slot].ranks}, missing_rank);
      if (n_missing == 0) {
        add_walk({slot, feature, 0, MissingSide::kUnseen}, walks);
      } else {
        add_walk({slot, feature, 0, MissingSide::kRight}, walks);
        add_walk({slot, feature, n_missing, MissingSide::kLeft}, walks);
      }
    }
  }

  // visit(candidate, n_left, left_row, right_row, last); see scan_candidates.
  // `side` is the EventGroupScorer or, for unweighted fits, the RiskSetSums
  // that follows the left side.
  template <class Weighting, class LeftSide, class Visit>
  std::size_t run(const FeatureWalk& walk, LeftSide& side, std::size_t limit, Visit&& visit) {
    if constexpr (Weighting::kUnit && requires { side.outgrows_caches(); }) {
      if (side.outgrows_caches()) return scan<Weighting, true>(walk, side, limit, visit);
    }
    return scan<Weighting, false>(walk, side, limit, visit);
  }

 private:
  // The scan; with kPrefetch, each move asks the caches for the data of the
  // move kMovesAhead later (in a node whose data the caches hold, the asking
  // would only cost).
  template <class Weighting, bool kPrefetch, class LeftSide, class Visit>
  std::size_t scan(const FeatureWalk& walk, LeftSide& side, std::size_t limit, Visit& visit) {
    const ValueOrder& order = by_value_[walk.slot];
    side.clear();
    return walk_candidates<Weighting::kUnit>(
        order, limit,
        [&](std::uint32_t index) {
          if constexpr (Weighting::kUnit) {
            if constexpr (kPrefetch) {
              if (index + kMovesAhead < order.buckets.size()) {
                side.prefetch(order.buckets[index + kMovesAhead]);
              }
            }
            side.move_left(order.buckets[index], order.events[index] != 0);
          } else {
            side.move_left_weighted(order.positions[index]);
          }
        },
        [&](std::size_t candidate, std::size_t n_left, std::uint32_t left, std::uint32_t right,
            bool last) {
          visit(candidate, n_left, node_.sorted_rows[order.positions[left]],
                node_.sorted_rows[order.positions[right]], last);
        },
        walk.n_missing_left);
  }

  // The shared candidate scan over `order`; a weighted node's sides also meet
  // the floor on weight.
  template <bool kUnit, class MoveLeft, class Visit>
  std::size_t walk_candidates(const ValueOrder& order, std::size_t limit, MoveLeft&& move_left,
                              Visit&& visit, std::size_t n_missing_left) const {
    const detail::IndexOrder by_index{order.ranks};
    if constexpr (!kUnit) {
      return detail::scan_weighed_candidates(
          by_index, floor_.count, limit, move_left, visit, n_missing_left,
          [&](std::uint32_t index) { return node_.sorted_weights[order.positions[index]]; },
          node_weight_, floor_.weight);
    } else {
      return detail::scan_candidates(by_index, floor_.count, limit, move_left, visit,
                                     n_missing_left);
    }
  }

 private:
  // Counts the walk's candidates (up to one more than few) before adding it.
  void add_walk(FeatureWalk walk, std::vector<FeatureWalk>& walks) const {
    const auto move = [](std::uint32_t) {};
    const auto visit = [](std::size_t, std::size_t, std::uint32_t, std::uint32_t, bool) {};
    const ValueOrder& order = by_value_[walk.slot];
    walk.n_candidates =
        node_.weighted()
            ? walk_candidates<false>(order, kFewCandidates + 1, move, visit, walk.n_missing_left)
            : walk_candidates<true>(order, kFewCandidates + 1, move, visit, walk.n_missing_left);
    walks.push_back(walk);
  }

  // The ranks of every candidate feature are gathered in one pass over the
  // node's rows (in time order), then each feature's are sorted.
  void make_value_orders(std::span<const std::uint32_t> features) {
    const std::size_t n = node_.sorted_rows.size();
    for (std::size_t slot = 0; slot < features.size(); ++slot) by_value_[slot].ranks.resize(n);
    detail::gather_ranks(covariates_, node_.sorted_rows, features,
                         [&](std::size_t slot, std::size_t i, std::uint32_t rank) {
                           by_value_[slot].ranks[i] = rank;
                         });
    for (std::size_t slot = 0; slot < features.size(); ++slot) sort_value_order(by_value_[slot]);
  }

  // Sorts an order holding the ranks in time order into the value order.
  void sort_value_order(ValueOrder& order) {
    const std::size_t n = order.ranks.size();
    detail::order_by_rank(
        n, [&](std::uint32_t pos) { return order.ranks[pos]; }, sorted_, scratch_);
    order.positions.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      order.ranks[i] = detail::rank_of(sorted_[i]);
      order.positions[i] = detail::position_of(sorted_[i]);
    }
    if (node_.weighted()) return;
    order.buckets.resize(n);
    order.events.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      detail::prefetch_gather(position_buckets_.data(), order.positions, i);
      detail::prefetch_gather(node_.sorted_events.data(), order.positions, i);
      order.buckets[i] = position_buckets_[order.positions[i]];
      order.events[i] = node_.sorted_events[order.positions[i]];
    }
  }

  const Covariates& covariates_;
  const SortedNode& node_;
  ChildFloor floor_;
  double node_weight_ = 0.0;                      // weighted nodes under a floor on weight only
  std::vector<std::uint32_t>& position_buckets_;  // unweighted nodes only
  std::vector<ValueOrder>& by_value_;             // per candidate feature
  std::vector<RankedPosition>& sorted_;           // the order being sorted
  detail::OrderScratch& scratch_;
};

}  // namespace

// Everything a node's search writes, kept by a tree across its nodes.
struct LogRankCriterion::Scratch::Buffers {
  SortedNode node;
  // The node's time order while the node is grouped, then each candidate
  // feature's value order while it is sorted.
  std::vector<RankedPosition> sorted;
  detail::OrderScratch order;
  EventGroupScorer scorer;
  detail::RiskSetSums sums;
  std::vector<ValueOrder> by_value;
  std::vector<std::uint32_t> position_buckets;
  std::vector<FeatureWalk> walks;
  // Per walk, the bounds of the last pass; those of the walk under way.
  std::vector<std::vector<float>> upper;
  std::vector<float> next_upper;
};

namespace {

using Buffers = LogRankCriterion::Scratch::Buffers;

// Candidates per run in the first pass: large nodes bound runs of consecutive
// candidates at once, small ones bound each candidate.
constexpr std::size_t kRowsPerRunCandidate = 64;
constexpr std::size_t kLongestRun = 16;

std::size_t candidates_per_run(std::size_t n_rows) {
  return std::clamp<std::size_t>(n_rows / kRowsPerRunCandidate, 1, kLongestRun);
}

// The bound as the least float not below it (the lowest finite float for a
// finite bound below the floats' range). The passes keep a bound per
// candidate, and floats halve those bytes; rounding up only lets a few more
// candidates on to the exact pass, whose result stays that of the doubles: a
// candidate the double bound rules out scores below the best, never ties it.
float float_at_least(double bound) {
  constexpr float kLargest = std::numeric_limits<float>::max();
  if (bound > kLargest) return std::numeric_limits<float>::infinity();
  if (bound < -kLargest) return -kLargest;
  const auto narrow = static_cast<float>(bound);
  if (!(narrow < bound)) return narrow;
  // The next float up, without a library call (a bound is kept per candidate):
  // one step away from zero for a non-negative float, towards it for a negative.
  const auto bits = std::bit_cast<std::uint32_t>(narrow);
  return std::bit_cast<float>((bits >> 31) != 0 ? bits - 1 : bits + 1);
}

// From this many event groups on, a node's candidates are bounded by running
// sums, O(log K) per moved occurrence, rather than by passes over every event
// group, O(K) per batch of runs: the former wins once K outgrows a few hundred,
// as with continuous times.
constexpr std::size_t kEventGroupsForSums = 256;

bool bounds_by_sums(const SortedNode& node) {
  return static_cast<std::size_t>(std::count_if(node.group_events.begin(), node.group_events.end(),
                                                [](std::uint32_t d) { return d > 0; })) >=
         kEventGroupsForSums;
}

// The search over one node. Passes narrow the candidates down: bounds on runs of
// consecutive candidates (large nodes only), bounds on single candidates, exact
// scores; unweighted nodes with many event groups bound every candidate from
// running sums instead of the first two passes. A candidate whose upper bound
// is below the best lower bound seen cannot be the best, not even in a tie, so
// each pass skips it; the last pass judges the rest in the order they were
// formed, and the result is the one a full exact search gives. Scoring passes
// use the registers of `Unit`; moves and candidates count occurrences or sum
// their weights, as `Weighting` says.
template <class Unit, class Weighting>
class SplitSearch {
 public:
  SplitSearch(const Covariates& covariates, Buffers& buffers,
              std::span<const std::uint32_t> features, const ChildFloor& floor,
              const CallControl& control)
      : covariates_(covariates),
        control_(control),
        node_(buffers.node),
        scorer_(buffers.scorer),
        sums_(buffers.sums),
        scan_(covariates, buffers.node, features.size(), floor, buffers.by_value,
              buffers.position_buckets, buffers.sorted, buffers.order),
        walks_(buffers.walks),
        run_(candidates_per_run(node_.sorted_rows.size())),
        upper_(buffers.upper),
        next_upper_(buffers.next_upper) {
    scorer_.reset(node_);
    scan_.walks(features, walks_);
    upper_.resize(walks_.size());
    for (std::vector<float>& upper : upper_)
      upper.assign(1, std::numeric_limits<float>::infinity());
  }

  std::optional<BestSplit> run() {
    // The running sums hold whole counts; weighted nodes take the passes.
    if (Weighting::kUnit && bounds_by_sums(node_)) {
      bound_by_sums();
    } else {
      if (run_ > 1) bound_runs();
      bound_candidates();
    }
    return score_candidates();
  }

 private:
  using Bounds = EventGroupScorer::ScoreBounds;

  // Upper bounds per run of `run_` candidates; lanes hold each run's first and
  // last candidate.
  void bound_runs() {
    const auto bound_batch = [&](std::vector<float>& upper) {
      control_.check();
      const std::size_t runs = scorer_.candidates() / 2;
      const auto& bounds = scorer_.template block_bounds<Unit>();
      for (std::size_t j = 0; j < runs; ++j) keep(upper, bounds[j]);
    };
    for (std::size_t f = 0; f < walks_.size(); ++f) {
      if (has_few_candidates(f)) continue;
      std::vector<float>& upper = next_bounds();
      std::size_t in_run = 0;
      scan_.template run<Weighting>(
          walks_[f], scorer_, SIZE_MAX,
          [&](std::size_t, std::size_t n_left, std::uint32_t, std::uint32_t, bool last) {
            if (in_run == 0) scorer_.template add_candidate<Weighting>(n_left);
            if (++in_run == run_ || last) {
              in_run = 0;
              if (scorer_.template add_candidate<Weighting>(n_left)) bound_batch(upper);
            }
          });
      if (scorer_.candidates() > 0) bound_batch(upper);
      keep_next_bounds(f);
    }
    candidates_per_bound_ = run_;
  }

  // Upper bounds per candidate from the running sums, tight enough that
  // usually only the best candidate and its exact ties are left.
  void bound_by_sums() {
    sums_.reset(node_);
    for (std::size_t f = 0; f < walks_.size(); ++f) {
      control_.check();
      std::vector<float>& upper = next_bounds();
      scan_.template run<UnitWeights>(walks_[f], sums_, SIZE_MAX,
                                      [&](std::size_t, std::size_t, std::uint32_t, std::uint32_t,
                                          bool) { keep(upper, sums_.bounds(best_lower_)); });
      keep_next_bounds(f);
    }
    candidates_per_bound_ = 1;
  }

  // The passes leave walk f unbounded: all its candidates reach the exact pass.
  [[nodiscard]] bool has_few_candidates(std::size_t f) const {
    return walks_[f].n_candidates <= kFewCandidates;
  }

  // Upper bounds per candidate (-inf for those already ruled out; +inf for
  // every candidate of a walk with few).
  void bound_candidates() {
    std::array<std::size_t, EventGroupScorer::kLanes> lane_candidate{};
    for (std::size_t f = 0; f < walks_.size(); ++f) {
      if (has_few_candidates(f)) {
        upper_[f].assign(walks_[f].n_candidates, std::numeric_limits<float>::infinity());
        continue;
      }
      std::vector<float>& upper = next_bounds();
      const auto bound_batch = [&] {
        control_.check();
        const std::size_t count = scorer_.candidates();
        const auto& bounds = scorer_.template bounds<Unit>();
        for (std::size_t j = 0; j < count; ++j) {
          upper.resize(lane_candidate[j], -std::numeric_limits<float>::infinity());
          keep(upper, bounds[j]);
        }
      };
      const std::size_t count = visit_survivors(
          f, [&](std::size_t candidate, std::size_t n_left, std::uint32_t, std::uint32_t) {
            lane_candidate[scorer_.candidates()] = candidate;
            if (scorer_.template add_candidate<Weighting>(n_left)) bound_batch();
          });
      if (scorer_.candidates() > 0) bound_batch();
      upper.resize(count, -std::numeric_limits<float>::infinity());
      keep_next_bounds(f);
    }
    candidates_per_bound_ = 1;
  }

  std::optional<BestSplit> score_candidates() {
    std::optional<BestSplit> best;
    double best_score = -std::numeric_limits<double>::infinity();
    // Rows holding the values on either side of each held candidate.
    std::array<std::pair<std::uint32_t, std::uint32_t>, EventGroupScorer::kLanes> neighbours{};
    for (std::size_t f = 0; f < walks_.size(); ++f) {
      const FeatureWalk& walk = walks_[f];
      const auto judge_batch = [&] {
        control_.check();
        const std::size_t count = scorer_.candidates();
        const auto& scores = scorer_.template scores<Unit>();
        for (std::size_t j = 0; j < count; ++j) {
          if (scores[j] > best_score) {
            const auto [left, right] = neighbours[j];
            best = BestSplit{walk.feature,
                             detail::midpoint(covariates_.x.at(left, walk.feature),
                                              covariates_.x.at(right, walk.feature)),
                             scores[j], walk.missing};
            best_score = scores[j];
          }
        }
      };
      visit_survivors(
          f, [&](std::size_t, std::size_t n_left, std::uint32_t left_row, std::uint32_t right_row) {
            neighbours[scorer_.candidates()] = {left_row, right_row};
            if (scorer_.template add_candidate<Weighting>(n_left)) judge_batch();
          });
      if (scorer_.candidates() > 0) judge_batch();
    }
    return best;
  }

  // Walk f's bounds of the pass under way, empty; the last pass's stay
  // readable until keep_next_bounds(f) replaces them. One buffer serves every
  // walk in turn: a large node has a bound per candidate and walk.
  std::vector<float>& next_bounds() {
    next_upper_.clear();
    return next_upper_;
  }
  void keep_next_bounds(std::size_t f) { std::swap(upper_[f], next_upper_); }

  void keep(std::vector<float>& upper, const Bounds& bounds) {
    upper.push_back(float_at_least(bounds.upper));
    best_lower_ = std::max(best_lower_, bounds.lower);
  }

  // Walks walk f's candidates that no bound has ruled out yet, up to the
  // last of them; returns how many candidates it walked past.
  template <class Visit>
  std::size_t visit_survivors(std::size_t f, Visit&& visit) {
    const std::vector<float>& upper = upper_[f];
    const auto survives = [&](float bound) { return bound >= best_lower_; };
    const auto last = std::find_if(upper.rbegin(), upper.rend(), survives);
    if (last == upper.rend()) return 0;
    const std::size_t entries = static_cast<std::size_t>(upper.rend() - last);
    const std::size_t limit =
        entries > SIZE_MAX / candidates_per_bound_ ? SIZE_MAX : entries * candidates_per_bound_;
    return scan_.template run<Weighting>(
        walks_[f], scorer_, limit,
        [&](std::size_t candidate, std::size_t n_left, std::uint32_t left_row,
            std::uint32_t right_row, bool) {
          if (survives(upper[candidate / candidates_per_bound_])) {
            visit(candidate, n_left, left_row, right_row);
          }
        });
  }

  const Covariates& covariates_;
  // A pass over one feature of a large node can take seconds; the stop request
  // is checked before each batch of candidates is scored.
  const CallControl& control_;
  const SortedNode& node_;
  EventGroupScorer& scorer_;
  RiskSetSums& sums_;
  FeatureScan scan_;
  std::vector<FeatureWalk>& walks_;
  std::size_t run_;  // candidates per run in the first pass
  // Per walk, upper bounds on the scores of consecutive groups of
  // candidates_per_bound_ candidates; before any pass, one unbounded group.
  std::vector<std::vector<float>>& upper_;
  std::vector<float>& next_upper_;
  std::size_t candidates_per_bound_ = SIZE_MAX;
  double best_lower_ = -std::numeric_limits<double>::infinity();
};

template <class Unit, class Weighting>
std::optional<BestSplit> search(const Covariates& covariates, Buffers& buffers,
                                std::span<const std::uint32_t> features, const ChildFloor& floor,
                                const CallControl& control) {
  return SplitSearch<Unit, Weighting>(covariates, buffers, features, floor, control).run();
}

// The search of each vector unit for one weighting, indexed by the unit, the
// whole of it compiled for the unit (every call inside inlined) so that the
// scan's moves use the wide registers too.
template <class Weighting>
constexpr auto searches_of() {
  return per_unit([]<class Unit>() -> LogRankCriterion::Search {
    return &Unit::template call<&search<Unit, Weighting>>;
  });
}

constexpr auto kSearches = searches_of<UnitWeights>();
constexpr auto kWeightedSearches = searches_of<SampleWeights>();

}  // namespace

LogRankCriterion::LogRankCriterion(std::span<const double> time,
                                   std::span<const std::uint8_t> event)
    : LogRankCriterion(time, event, widest_vector_unit()) {}

LogRankCriterion::LogRankCriterion(std::span<const double> time,
                                   std::span<const std::uint8_t> event, VectorUnit unit)
    : LogRankCriterion(time, event, {}, unit) {}

LogRankCriterion::LogRankCriterion(std::span<const double> time,
                                   std::span<const std::uint8_t> event,
                                   std::span<const double> weight)
    : LogRankCriterion(time, event, weight, widest_vector_unit()) {}

LogRankCriterion::LogRankCriterion(std::span<const double> time,
                                   std::span<const std::uint8_t> event,
                                   std::span<const double> weight, VectorUnit unit)
    : time_(time), event_(event), weight_(weight) {
  if (time.size() != event.size()) {
    fail("event_time has " + std::to_string(time.size()) + " elements but event_indicator has " +
         std::to_string(event.size()));
  }
  if (!weight.empty() && weight.size() != time.size()) {
    fail("event_time has " + std::to_string(time.size()) + " elements but sample_weight has " +
         std::to_string(weight.size()));
  }
  if (!supports(unit)) {
    fail("this processor cannot run the split search of vector unit " + std::string(name_of(unit)));
  }
  search_ = (weight.empty() ? kSearches : kWeightedSearches)[static_cast<std::size_t>(unit)];
  time_ranks_ = detail::dense_ranks(time);
}

LogRankCriterion::Scratch::Scratch() : buffers_(std::make_unique<Buffers>()) {}
LogRankCriterion::Scratch::~Scratch() = default;
LogRankCriterion::Scratch::Scratch(Scratch&&) noexcept = default;
LogRankCriterion::Scratch& LogRankCriterion::Scratch::operator=(Scratch&&) noexcept = default;

std::optional<BestSplit> LogRankCriterion::find_best_split(const Covariates& covariates,
                                                           std::span<const std::uint32_t> rows,
                                                           std::span<const std::uint32_t> features,
                                                           const ChildFloor& floor,
                                                           const CallControl& control) const {
  Scratch scratch;
  return find_best_split(covariates, rows, features, floor, control, scratch);
}

std::optional<BestSplit> LogRankCriterion::find_best_split(const Covariates& covariates,
                                                           std::span<const std::uint32_t> rows,
                                                           std::span<const std::uint32_t> features,
                                                           const ChildFloor& floor,
                                                           const CallControl& control,
                                                           Scratch& scratch) const {
  if (std::none_of(rows.begin(), rows.end(),
                   [&](std::uint32_t r) { return detail::is_event(event_[r]); })) {
    return std::nullopt;
  }
  // The binding refuses NaN times; only a caller writing during the fit gets here.
  assert(std::none_of(rows.begin(), rows.end(),
                      [&](std::uint32_t r) { return std::isnan(time_[r]); }));
  Buffers& buffers = scratch.buffers();
  buffers.node.assign(*this, rows, buffers.sorted, buffers.order);
  return search_(covariates, buffers, features, floor, control);
}

}  // namespace korvane
