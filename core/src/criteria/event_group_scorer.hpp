#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "criteria/score_interval.hpp"
#include "criteria/sorted_node.hpp"
#include "korvane/sample_weights.hpp"
#include "korvane/vector_unit.hpp"

namespace korvane::detail {

// Scores log-rank candidates of one node many at a time, one candidate per
// vector lane. Per candidate the arithmetic is exactly the reference order
// (every lane runs the same IEEE operations a scalar loop would), so scores are
// identical to the last bit; only independent candidates share instructions.
//
// Only event groups are visited: a group without events adds nothing to U or V,
// and its left occurrences merely leave the left risk set, so their count is
// folded into the preceding event group (or subtracted up front).
//
// Each bucket keeps its left counts per lane: a move adds 1 to the lanes of the
// candidate being formed and of every later one. Counts are whole numbers held
// in doubles (exact far beyond any row count), so a move is two vector
// additions and a scoring pass reads them without conversion or branches. A
// weighted node's counts are sums of rounded weights, exact too, so the same
// passes and bounds serve it (move_left_weighted and the Weighting of
// add_candidate tell).
class EventGroupScorer {
 public:
  static constexpr std::size_t kLanes = 8;
  // All lanes in one GCC vector, for the moves.
  using LaneVector = double __attribute__((vector_size(kLanes * sizeof(double))));
  // All lanes in memory. Plain arrays rather than vectors: a vector type's
  // alignment depends on the instruction set each function is compiled for.
  using LaneArray = std::array<double, kLanes>;

  struct EventGroup {
    double events;
    double at_risk;
    double survivors;         // at risk minus events
    double variance_divisor;  // at risk minus one; 1 when only one is at risk
    // Only once a bounding pass needs them (a node whose candidates are all
    // scored exactly has no use for them):
    double inverse_at_risk;            // rounded 1 / at risk
    double inverse_at_risk_minus_one;  // rounded 1 / (at risk - 1), 0 without variance
  };

  using ScoreBounds = detail::ScoreBounds;

  // Left occurrences of one bucket, and how many of them are events, per lane.
  struct BucketCounts {
    alignas(64) LaneArray leaving;
    alignas(64) LaneArray events;
  };

  // The state a scoring pass reads. The pass also ends the batch: it leaves
  // every lane of every bucket at the last lane's count, which holds every move.
  struct Batch {
    const std::vector<EventGroup>& groups;
    std::vector<BucketCounts>& buckets;
    const LaneArray& n_left;
  };

  EventGroupScorer() = default;
  explicit EventGroupScorer(const SortedNode& node) { reset(node); }

  // Scores the candidates of `node` from here on, keeping every buffer's
  // capacity; what is on the left is left to clear(), which every feature's
  // walk starts with anyway.
  void reset(const SortedNode& node);

  // Starts a new feature: nothing is on the left.
  void clear();
  // Moves an occurrence of `bucket` (SortedNode::position_buckets), an event or
  // not, to the left side of the candidate being formed (and of every later
  // one). Unweighted nodes only; the scan reads bucket and event from its value
  // order, in step, rather than gathering them by position at every move.
  void move_left(std::uint32_t bucket, bool event) {
    BucketCounts& counts = buckets_[bucket];
    add_lanes(counts.leaving, pending_lanes_);
    add_lanes(counts.events, pending_lanes_ * (event ? 1.0 : 0.0));
  }
  // Moves the occurrence at a position of the time order, with its weight, to
  // the left side of the candidate being formed (and of every later one).
  void move_left_weighted(std::uint32_t position) {
    BucketCounts& counts = buckets_[bucket_[position]];
    add_lanes(counts.leaving, pending_lanes_ * weight_[position]);
    left_weight_ += weight_[position];
    add_lanes(counts.events, pending_lanes_ * event_weight_[position]);
  }
  // Closes the candidate being formed with n_left occurrences on the left (of
  // the weight moved so far, when weighted). Returns true when every lane
  // holds a candidate and the batch must be scored.
  template <class Weighting = UnitWeights>
  bool add_candidate(std::size_t n_left) {
    n_left_[used_] = Weighting::kUnit ? static_cast<double>(n_left) : left_weight_;
    pending_lanes_[used_] = 0.0;
    ++used_;
    return used_ == kLanes;
  }
  [[nodiscard]] std::size_t candidates() const { return used_; }
  // Scores of the held candidates, in the order they were added, computed with
  // the registers of `Unit` (one of VectorUnits); then starts an empty batch that keeps the current
  // left side.
  template <class Unit>
  const LaneArray& scores();
  // Like scores(), but only bounds on each score, from multiplications by
  // reciprocals instead of divisions: several times cheaper.
  template <class Unit>
  const std::array<ScoreBounds, kLanes>& bounds();
  // For lanes holding the first and the last candidate of runs of consecutive
  // candidates (lanes 2i and 2i + 1): per run, an upper bound on the score of
  // every candidate in it and the better lower bound of its two ends.
  template <class Unit>
  const std::array<ScoreBounds, kLanes / 2>& block_bounds();

 private:
  Batch batch() { return {groups_, buckets_, n_left_}; }
  static void add_lanes(LaneArray& values, const LaneVector& addend) {
    LaneVector sum;
    std::memcpy(&sum, values.data(), sizeof sum);
    sum += addend;
    std::memcpy(values.data(), &sum, sizeof sum);
  }
  void start_batch();
  void need_reciprocals();

  // Per position, when weighted: bucket (0 before the first event group, k + 1
  // after group k), weight of an event (0 when censored), weight.
  std::vector<std::uint32_t> bucket_;
  std::vector<double> event_weight_;
  std::vector<double> weight_;
  double left_weight_ = 0.0;  // weight moved left in this feature, when weighted
  std::vector<EventGroup> groups_;
  bool reciprocals_ = false;           // groups_ hold their reciprocals
  std::vector<BucketCounts> buckets_;  // the first groups_.size() + 1 are the node's
  LaneVector pending_lanes_{};         // 1 in lanes at or after the candidate being formed
  LaneArray n_left_{};
  LaneArray scores_{};
  std::array<ScoreBounds, kLanes> bounds_{};
  std::array<ScoreBounds, kLanes / 2> block_bounds_{};
  std::size_t used_ = 0;
};

}  // namespace korvane::detail
