#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "korvane/splits.hpp"

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
// Left counts are a base (the left side before the batch) plus the few buckets
// the batch's moves touched, kept per lane. A pass over the groups therefore
// reads one base count per group for all lanes at once.
class EventGroupScorer {
 public:
  static constexpr std::size_t kLanes = 8;
  using Counts = std::int32_t __attribute__((vector_size(kLanes * sizeof(std::int32_t))));

  struct EventGroup {
    double events;
    double at_risk;
    double survivors;  // at risk minus events
    double at_risk_minus_one;
    double inverse_at_risk;            // rounded 1 / at risk
    double inverse_at_risk_minus_one;  // rounded 1 / (at risk - 1), 0 without variance
  };

  // An interval that certainly holds a candidate's exact score.
  struct ScoreBounds {
    double lower;
    double upper;
  };

  // What a batch's moves added to one bucket, per lane.
  struct BucketChange {
    std::uint32_t bucket;
    std::array<std::int32_t, kLanes> leaving;  // left occurrences
    std::array<std::int32_t, kLanes> events;   // of which events
  };

  // The state a scoring pass reads.
  struct Batch {
    const std::vector<EventGroup>& groups;
    const std::vector<double>& base_leaving;  // per bucket
    const std::vector<double>& base_events;   // per event group
    const std::vector<BucketChange>& changes;
    const std::vector<std::int32_t>& change_of_bucket;  // index into changes, or -1
    const std::array<double, kLanes>& n_left;
  };

  explicit EventGroupScorer(const SortedNode& node);

  // Starts a new feature: nothing is on the left.
  void clear();
  // Moves the occurrence at a position of the time order to the left side of the
  // candidate being formed (and of every later one).
  void move_left(std::uint32_t position) {
    BucketChange& change = change_at(bucket_[position]);
    add_pending(change.leaving);
    if (events_[position] != 0) add_pending(change.events);
  }
  // Closes the candidate being formed with n_left occurrences on the left.
  // Returns true when every lane holds a candidate and the batch must be scored.
  bool add_candidate(std::size_t n_left);
  [[nodiscard]] std::size_t candidates() const { return used_; }
  // Scores of the held candidates, in the order they were added; then starts an
  // empty batch that keeps the current left side.
  const std::array<double, kLanes>& scores();
  // Like scores(), but only bounds on each score, from multiplications by
  // reciprocals instead of divisions: several times cheaper.
  const std::array<ScoreBounds, kLanes>& bounds();
  // For lanes holding the first and the last candidate of runs of consecutive
  // candidates (lanes 2i and 2i + 1): per run, an upper bound on the score of
  // every candidate in it and the better lower bound of its two ends.
  const std::array<ScoreBounds, kLanes / 2>& block_bounds();

 private:
  Batch batch() const;
  void finish_batch();
  BucketChange& change_at(std::uint32_t bucket);
  void add_pending(std::array<std::int32_t, kLanes>& counts) const {
    Counts lanes;
    std::memcpy(&lanes, counts.data(), sizeof lanes);
    lanes += pending_lanes_;
    std::memcpy(counts.data(), &lanes, sizeof lanes);
  }

  const std::vector<std::uint8_t>& events_;
  std::vector<std::uint32_t> bucket_;  // 0: before the first event group; k + 1: after group k
  std::vector<EventGroup> groups_;
  std::vector<double> base_leaving_;
  std::vector<double> base_events_;
  std::vector<BucketChange> changes_;
  std::vector<std::int32_t> change_of_bucket_;  // index into changes_, or -1
  Counts pending_lanes_{};  // 1 in lanes at or after the candidate being formed
  std::array<double, kLanes> n_left_{};
  std::array<double, kLanes> scores_{};
  std::array<ScoreBounds, kLanes> bounds_{};
  std::array<ScoreBounds, kLanes / 2> block_bounds_{};
  std::size_t used_ = 0;
};

}  // namespace korvane::detail
