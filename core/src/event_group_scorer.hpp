#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "korvane/splits.hpp"

namespace korvane::detail {

// Scores log-rank candidates of one node several at a time, one candidate per
// vector lane. Per candidate the arithmetic is exactly the reference order
// (every lane runs the same IEEE operations a scalar loop would), so scores are
// identical to the last bit; only independent candidates share instructions.
//
// Only event groups are visited: a group without events adds nothing to U or V,
// and its left occurrences merely leave the left risk set, so their count is
// folded into the preceding event group (or subtracted up front).
//
// Counts are kept as a per-bucket base (the left side before the batch) plus
// per-lane increments made during the batch; only the buckets a batch touched
// are folded back, so a batch costs its moves plus the scoring pass.
class EventGroupScorer {
 public:
  static constexpr std::size_t kLanes = 8;
  using Counts = std::int32_t __attribute__((vector_size(kLanes * sizeof(std::int32_t))));

  struct EventGroup {
    double events;
    double at_risk;
    double survivors;  // at risk minus events
    double at_risk_minus_one;
    bool has_variance;  // at risk > 1
  };

  explicit EventGroupScorer(const SortedNode& node);

  // Starts a new feature: nothing is on the left.
  void clear();
  // Moves the occurrence at a position of the time order to the left side of the
  // candidate being formed (and of every later one).
  void move_left(std::uint32_t position) {
    const std::uint32_t bucket = bucket_[position];
    add_pending(in_bucket_, bucket);
    if (events_[position] != 0) add_pending(events_in_group_, bucket - 1);
  }
  // Closes the candidate being formed with n_left occurrences on the left.
  // Returns true when every lane holds a candidate and scores() must be called.
  bool add_candidate(std::size_t n_left);
  [[nodiscard]] std::size_t candidates() const { return used_; }
  // Scores of the held candidates, in the order they were added; then starts an
  // empty batch that keeps the current left side.
  const std::array<double, kLanes>& scores();

  // Left counts per slot: base before the batch plus per-lane batch increments.
  struct LaneCounts {
    std::vector<double> base;
    std::vector<std::int32_t> batch;  // kLanes per slot
    std::vector<std::uint32_t> touched;
  };

 private:
  void add_pending(LaneCounts& counts, std::size_t slot) {
    std::int32_t* lanes = counts.batch.data() + slot * kLanes;
    if (lanes[kLanes - 1] == 0) counts.touched.push_back(static_cast<std::uint32_t>(slot));
    for (std::size_t j = 0; j < kLanes; ++j) lanes[j] += pending_lanes_[j];
  }
  // The candidate being formed is lane `first`; moves count in it and every later lane.
  void start_lane(std::size_t first);

  const std::vector<std::uint8_t>& events_;
  std::vector<std::uint32_t> bucket_;  // 0: before the first event group; k + 1: after group k
  std::vector<EventGroup> groups_;
  LaneCounts in_bucket_;        // left occurrences per bucket
  LaneCounts events_in_group_;  // left events per event group
  Counts pending_lanes_{};      // 1 in lanes at or after the candidate being formed
  std::array<double, kLanes> n_left_{};
  std::array<double, kLanes> scores_{};
  std::size_t used_ = 0;
};

}  // namespace korvane::detail
