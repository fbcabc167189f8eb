#include "event_group_scorer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace korvane::detail {

namespace {

constexpr std::size_t kLanes = EventGroupScorer::kLanes;
using Lanes = EventGroupScorer::Lanes;
using EventGroup = EventGroupScorer::EventGroup;
using ScoreBounds = EventGroupScorer::ScoreBounds;
using BucketCounts = EventGroupScorer::BucketCounts;
using Batch = EventGroupScorer::Batch;

// Reads one bucket's per-lane counts and leaves every lane at the last lane's
// count, which holds all of the batch's moves. Works through references so that
// no vector is passed by value between differently compiled code.
[[gnu::always_inline]] inline void take_lanes(Lanes& out, EventGroupScorer::LaneValues& values) {
  std::memcpy(&out, values.data(), sizeof out);
  values.fill(out[kLanes - 1]);
}

constexpr double kUnitRoundoff = 0x1p-53;

enum class Pass { kExact, kBound, kBlockBound };

// An interval holding the score u²/v of a candidate whose U and V are known up to
// u_error and v_error; unbounded above when V cannot be told apart from 0.
[[gnu::always_inline]] inline ScoreBounds score_interval(double magnitude_low,
                                                         double magnitude_high, double v,
                                                         double u_error, double v_error) {
  if (!(v - v_error > 0.0)) return {0.0, std::numeric_limits<double>::infinity()};
  const double high = magnitude_high + u_error;
  const double low = magnitude_low > u_error ? magnitude_low - u_error : 0.0;
  return {low * low / (v + v_error) * (1.0 - 16.0 * kUnitRoundoff),
          high * high / (v - v_error) * (1.0 + 16.0 * kUnitRoundoff)};
}

// Exact: the log-rank statistic of every lane in the reference order of
// operations. Bounding: a pass that multiplies by rounded reciprocals instead
// of dividing. Both stay within a small multiple of K·2^-53 of the true U and V
// (K event groups): per group the error of U is a few ulps of o + E and the
// error of V a few ulps of E (1 - p comes from a rounded p), plus the summation
// error. The slack is a generous multiple of both, so the exact score, rounded
// twice more, lies inside the bounds.
//
// Block bounding: lanes 2i and 2i + 1 hold the first and the last candidate of
// a run of consecutive candidates. Every candidate in between has a left side
// that contains the first one's and is contained in the last one's, so its
// observed and expected counts O and E lie between theirs (both only grow as
// occurrences move left) and U = O - E lies in [O_first - E_last, O_last -
// E_first]. Per group, V's term c·p(1 - p) is concave in p, so it is at least
// the smaller of the two ends' terms. The last candidate's O + E bounds the
// errors of every candidate of the run.
template <Pass kPass, class Result>
[[gnu::always_inline]] inline void walk_groups(const Batch& batch, Result* results) {
  Lanes at_risk_left;
  std::memcpy(&at_risk_left, batch.n_left.data(), sizeof at_risk_left);
  Lanes u{};
  Lanes v{};
  Lanes mass{};          // sum of o + E, which bounds the errors of U and of V
  Lanes observed_sum{};  // block bounding: O and E apart, and the smaller V terms
  Lanes expected_sum{};
  Lanes v_smaller{};
  BucketCounts* bucket = batch.buckets.data();
  Lanes leaving;
  take_lanes(leaving, bucket[0].leaving);
  at_risk_left = at_risk_left - leaving;
  for (std::size_t k = 0; k < batch.groups.size(); ++k) {
    const EventGroup& group = batch.groups[k];
    BucketCounts& after = bucket[k + 1];
    Lanes observed;
    take_lanes(observed, after.events);
    if constexpr (kPass == Pass::kExact) {
      const Lanes p = at_risk_left / group.at_risk;
      const Lanes e = p * group.events;
      u = u + (observed - e);
      if (group.at_risk > 1.0) {
        v = v + (group.survivors * (e * (1.0 - p))) / group.at_risk_minus_one;
      }
    } else {
      const Lanes p = at_risk_left * group.inverse_at_risk;
      const Lanes e = p * group.events;
      const Lanes v_term = (group.survivors * (e * (1.0 - p))) * group.inverse_at_risk_minus_one;
      v = v + v_term;
      if constexpr (kPass == Pass::kBound) {
        u = u + (observed - e);
        mass = mass + (observed + e);
      } else {
        observed_sum = observed_sum + observed;
        expected_sum = expected_sum + e;
        // The other end of the lane's run: lanes 0 and 1, 2 and 3, ... swapped.
        const Lanes other = __builtin_shufflevector(v_term, v_term, 1, 0, 3, 2, 5, 4, 7, 6);
        v_smaller = v_smaller + (v_term < other ? v_term : other);
      }
    }
    take_lanes(leaving, after.leaving);
    at_risk_left = at_risk_left - leaving;
  }
  const double slack = 64.0 * (static_cast<double>(batch.groups.size()) + 8.0) * kUnitRoundoff;
  if constexpr (kPass == Pass::kExact) {
    for (std::size_t j = 0; j < kLanes; ++j) results[j] = v[j] > 0.0 ? u[j] * u[j] / v[j] : 0.0;
  } else if constexpr (kPass == Pass::kBound) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const double magnitude = u[j] < 0.0 ? -u[j] : u[j];
      results[j] = score_interval(magnitude, magnitude, v[j], slack * mass[j],
                                  slack * (v[j] + mass[j]));
    }
  } else {
    for (std::size_t pair = 0; pair < kLanes / 2; ++pair) {
      const std::size_t first = 2 * pair;
      const std::size_t last = first + 1;
      const auto lower_of = [&](std::size_t j) {
        const double u_j = observed_sum[j] - expected_sum[j];
        const double magnitude = u_j < 0.0 ? -u_j : u_j;
        const double mass_j = observed_sum[j] + expected_sum[j];
        return score_interval(magnitude, magnitude, v[j], slack * mass_j, slack * (v[j] + mass_j))
            .lower;
      };
      const double widest = std::max(std::abs(observed_sum[first] - expected_sum[last]),
                                     std::abs(observed_sum[last] - expected_sum[first]));
      const double mass_last = observed_sum[last] + expected_sum[last];
      results[pair] = {std::max(lower_of(first), lower_of(last)),
                       score_interval(0.0, widest, v_smaller[first], slack * mass_last,
                                      slack * (v_smaller[first] + mass_last))
                           .upper};
    }
  }
}

// Cloned for wider vector units and chosen at run time; no clone fuses
// operations (contraction is off).
__attribute__((target_clones("avx512f", "avx2", "default"))) void score_lanes(const Batch& batch,
                                                                              double* scores) {
  walk_groups<Pass::kExact>(batch, scores);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void bound_lanes(
    const Batch& batch, ScoreBounds* bounds) {
  walk_groups<Pass::kBound>(batch, bounds);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void bound_lane_pairs(
    const Batch& batch, ScoreBounds* bounds) {
  walk_groups<Pass::kBlockBound>(batch, bounds);
}

}  // namespace

EventGroupScorer::EventGroupScorer(const SortedNode& node) {
  bucket_.resize(node.sorted_rows.size());
  event_weight_.resize(node.sorted_rows.size());
  groups_.reserve(node.groups.size());
  std::uint32_t bucket = 0;
  for (std::size_t g = 0; g < node.groups.size(); ++g) {
    const std::uint32_t d = node.group_events[g];
    const std::uint32_t y = node.group_at_risk[g];
    if (d > 0) {
      ++bucket;
      groups_.push_back({static_cast<double>(d), static_cast<double>(y),
                         static_cast<double>(y) - static_cast<double>(d),
                         static_cast<double>(y - 1), 1.0 / static_cast<double>(y),
                         y > 1 ? 1.0 / static_cast<double>(y - 1) : 0.0});
    }
    for (std::uint32_t pos = node.groups[g].start; pos < node.groups[g].end; ++pos) {
      bucket_[pos] = bucket;
      event_weight_[pos] = node.sorted_events[pos] != 0 ? 1.0 : 0.0;
    }
  }
  buckets_.resize(groups_.size() + 1);
  clear();
}

void EventGroupScorer::clear() {
  std::fill(buckets_.begin(), buckets_.end(), BucketCounts{});
  start_batch();
}

bool EventGroupScorer::add_candidate(std::size_t n_left) {
  n_left_[used_] = static_cast<double>(n_left);
  pending_lanes_[used_] = 0.0;
  ++used_;
  return used_ == kLanes;
}

const std::array<double, EventGroupScorer::kLanes>& EventGroupScorer::scores() {
  score_lanes(batch(), scores_.data());
  start_batch();
  return scores_;
}

const std::array<EventGroupScorer::ScoreBounds, EventGroupScorer::kLanes>&
EventGroupScorer::bounds() {
  bound_lanes(batch(), bounds_.data());
  start_batch();
  return bounds_;
}

const std::array<EventGroupScorer::ScoreBounds, EventGroupScorer::kLanes / 2>&
EventGroupScorer::block_bounds() {
  bound_lane_pairs(batch(), block_bounds_.data());
  start_batch();
  return block_bounds_;
}

void EventGroupScorer::start_batch() {
  used_ = 0;
  pending_lanes_ = Lanes{} + 1.0;
}

}  // namespace korvane::detail
