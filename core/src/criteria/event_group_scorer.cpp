#include "criteria/event_group_scorer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>

namespace korvane::detail {

namespace {

constexpr std::size_t kLanes = EventGroupScorer::kLanes;
using EventGroup = EventGroupScorer::EventGroup;
using ScoreBounds = EventGroupScorer::ScoreBounds;
using BucketCounts = EventGroupScorer::BucketCounts;
using Batch = EventGroupScorer::Batch;
using LaneArray = EventGroupScorer::LaneArray;

// One register of a vector unit, as doubles.
template <std::size_t kDoubles>
struct Register {
  // A typedef: GCC drops a vector size that depends on a template argument
  // from an alias declaration.
  typedef double type __attribute__((vector_size(kDoubles * sizeof(double))));
};

// The eight lanes in registers as wide as those of the vector unit a pass is
// compiled for: one 64-byte register for AVX-512, two 32-byte halves for AVX2,
// four 16-byte quarters for the baseline. On AVX2 a single 64-byte vector made
// the compiler route every value through memory and general registers, three
// times slower. Every operation is the same IEEE operation per lane whatever
// the width.
template <class Register>
struct LaneRegisters {
  static constexpr std::size_t kWidth = sizeof(Register) / sizeof(double);
  static constexpr std::size_t kChunks = kLanes / kWidth;
  Register chunk[kChunks];

  [[gnu::always_inline]] static LaneRegisters load(const double* values) {
    LaneRegisters block;
    for (std::size_t c = 0; c < kChunks; ++c) {
      std::memcpy(&block.chunk[c], values + c * kWidth, sizeof(Register));
    }
    return block;
  }
  [[gnu::always_inline]] void store(double* values) const {
    for (std::size_t c = 0; c < kChunks; ++c) {
      std::memcpy(values + c * kWidth, &chunk[c], sizeof(Register));
    }
  }
  [[gnu::always_inline]] double last() const { return chunk[kChunks - 1][kWidth - 1]; }

  // Chunk by chunk; a scalar operand takes part in every lane. No lambdas here:
  // one left out of line would pass vectors between differently compiled code.
  [[gnu::always_inline]] friend LaneRegisters operator+(const LaneRegisters& a,
                                                        const LaneRegisters& b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) r.chunk[c] = a.chunk[c] + b.chunk[c];
    return r;
  }
  [[gnu::always_inline]] friend LaneRegisters operator-(const LaneRegisters& a,
                                                        const LaneRegisters& b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) r.chunk[c] = a.chunk[c] - b.chunk[c];
    return r;
  }
  [[gnu::always_inline]] friend LaneRegisters operator-(double a, const LaneRegisters& b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) r.chunk[c] = a - b.chunk[c];
    return r;
  }
  [[gnu::always_inline]] friend LaneRegisters operator*(const LaneRegisters& a,
                                                        const LaneRegisters& b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) r.chunk[c] = a.chunk[c] * b.chunk[c];
    return r;
  }
  [[gnu::always_inline]] friend LaneRegisters operator*(const LaneRegisters& a, double b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) r.chunk[c] = a.chunk[c] * b;
    return r;
  }
  [[gnu::always_inline]] friend LaneRegisters operator*(double a, const LaneRegisters& b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) r.chunk[c] = a * b.chunk[c];
    return r;
  }
  [[gnu::always_inline]] friend LaneRegisters operator/(const LaneRegisters& a, double b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) r.chunk[c] = a.chunk[c] / b;
    return r;
  }
  // The smaller of a and b in each lane.
  [[gnu::always_inline]] friend LaneRegisters smaller(const LaneRegisters& a,
                                                      const LaneRegisters& b) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c)
      r.chunk[c] = a.chunk[c] < b.chunk[c] ? a.chunk[c] : b.chunk[c];
    return r;
  }
  // Lanes 0 and 1, 2 and 3, ... swapped.
  [[gnu::always_inline]] friend LaneRegisters swap_pairs(const LaneRegisters& a) {
    LaneRegisters r;
    for (std::size_t c = 0; c < kChunks; ++c) {
      if constexpr (kWidth == 8) {
        r.chunk[c] = __builtin_shufflevector(a.chunk[c], a.chunk[c], 1, 0, 3, 2, 5, 4, 7, 6);
      } else if constexpr (kWidth == 2) {
        r.chunk[c] = __builtin_shufflevector(a.chunk[c], a.chunk[c], 1, 0);
      } else {
        r.chunk[c] = __builtin_shufflevector(a.chunk[c], a.chunk[c], 1, 0, 3, 2);
      }
    }
    return r;
  }
};

// Reads one bucket's per-lane counts and leaves every lane at the last lane's
// count, which holds all of the batch's moves.
template <class Lanes>
[[gnu::always_inline]] inline Lanes take_lanes(LaneArray& values) {
  const Lanes lanes = Lanes::load(values.data());
  values.fill(lanes.last());
  return lanes;
}

// Per-lane values, out of the vector registers.
template <class Lanes>
[[gnu::always_inline]] inline std::array<double, kLanes> lanes_of(const Lanes& lanes) {
  std::array<double, kLanes> values;
  lanes.store(values.data());
  return values;
}

enum class Pass { kExact, kBound, kBlockBound };

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
template <Pass kPass, class Lanes, class Result>
[[gnu::always_inline]] inline void walk_groups(const Batch& batch, Result* results) {
  Lanes at_risk_left = Lanes::load(batch.n_left.data());
  Lanes u_lanes{};
  Lanes v_lanes{};
  Lanes mass_lanes{};      // sum of o + E, which bounds the errors of U and of V
  Lanes observed_lanes{};  // block bounding: O and E apart, and the smaller V terms
  Lanes expected_lanes{};
  Lanes v_smaller_lanes{};
  BucketCounts* bucket = batch.buckets.data();
  at_risk_left = at_risk_left - take_lanes<Lanes>(bucket[0].leaving);
  for (std::size_t k = 0; k < batch.groups.size(); ++k) {
    const EventGroup& group = batch.groups[k];
    BucketCounts& after = bucket[k + 1];
    const Lanes observed = take_lanes<Lanes>(after.events);
    if constexpr (kPass == Pass::kExact) {
      const Lanes p = at_risk_left / group.at_risk;
      const Lanes e = p * group.events;
      u_lanes = u_lanes + (observed - e);
      // Without a branch: with one occurrence at risk there are no survivors,
      // the term is +0 and V (never negative) keeps its bits, as when skipped.
      v_lanes = v_lanes + (group.survivors * (e * (1.0 - p))) / group.variance_divisor;
    } else {
      const Lanes p = at_risk_left * group.inverse_at_risk;
      const Lanes e = p * group.events;
      const Lanes v_term = (group.survivors * (e * (1.0 - p))) * group.inverse_at_risk_minus_one;
      v_lanes = v_lanes + v_term;
      if constexpr (kPass == Pass::kBound) {
        u_lanes = u_lanes + (observed - e);
        mass_lanes = mass_lanes + (observed + e);
      } else {
        observed_lanes = observed_lanes + observed;
        expected_lanes = expected_lanes + e;
        // The other end of the lane's run.
        v_smaller_lanes = v_smaller_lanes + smaller(v_term, swap_pairs(v_term));
      }
    }
    at_risk_left = at_risk_left - take_lanes<Lanes>(after.leaving);
  }
  const auto u = lanes_of(u_lanes);
  const auto v = lanes_of(v_lanes);
  const auto mass = lanes_of(mass_lanes);
  const auto observed_sum = lanes_of(observed_lanes);
  const auto expected_sum = lanes_of(expected_lanes);
  const auto v_smaller = lanes_of(v_smaller_lanes);
  const double slack = exact_pass_slack(batch.groups.size());
  if constexpr (kPass == Pass::kExact) {
    for (std::size_t j = 0; j < kLanes; ++j) results[j] = v[j] > 0.0 ? u[j] * u[j] / v[j] : 0.0;
  } else if constexpr (kPass == Pass::kBound) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const double magnitude = u[j] < 0.0 ? -u[j] : u[j];
      results[j] =
          score_interval(magnitude, magnitude, v[j], slack * mass[j], slack * (v[j] + mass[j]));
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

// The passes compiled for each vector unit; none fuses operations (contraction
// is off). The unit is a compile-time choice: no dispatch inside a search.
template <Pass kPass, class Unit, class Result>
void walk(const Batch& batch, Result* results) {
  Unit::template call<
      &walk_groups<kPass, LaneRegisters<typename Register<Unit::kDoubles>::type>, Result>,
      const Batch&, Result*>(batch, results);
}

}  // namespace

namespace {

// The ties correction (y - d) / (y - 1) is that of whole counts; events
// weighing less than one occurrence would make it exceed 1, and there it stays
// 1, so weights never inflate a variance.
double variance_divisor(double at_risk, double survivors) {
  return std::max(at_risk - 1.0, survivors);
}

// A group with `events` of `at_risk` (counts or sums of weights), without the
// reciprocals, which only the bounding passes read. Without survivors the term
// is 0 however divided.
EventGroup event_group(double events, double at_risk) {
  const double survivors = at_risk - events;
  const double divisor = variance_divisor(at_risk, survivors);
  return {events, at_risk, survivors, divisor > 0.0 ? divisor : 1.0, 0.0, 0.0};
}

void add_reciprocals(EventGroup& group) {
  const double divisor = variance_divisor(group.at_risk, group.survivors);
  group.inverse_at_risk = 1.0 / group.at_risk;
  group.inverse_at_risk_minus_one = divisor > 0.0 ? 1.0 / divisor : 0.0;
}

}  // namespace

void EventGroupScorer::reset(const SortedNode& node) {
  const bool weighted = node.weighted();
  if (weighted) {
    node.position_buckets(bucket_);
    weight_ = node.sorted_weights;
    event_weight_.resize(weight_.size());
    for (std::size_t pos = 0; pos < weight_.size(); ++pos) {
      event_weight_[pos] = node.sorted_events[pos] != 0 ? weight_[pos] : 0.0;
    }
  }
  groups_.clear();
  for (std::size_t g = 0; g < node.groups.size(); ++g) {
    const double d = weighted ? node.group_weighted_events[g] : node.group_events[g];
    const double y = weighted ? node.group_weighted_at_risk[g] : node.group_at_risk[g];
    if (d > 0.0) groups_.push_back(event_group(d, y));
  }
  reciprocals_ = false;
  // Every scan clears the buckets it uses before its first move, and only
  // those: the array keeps the length of the largest node, so that a node
  // larger than the last fills no bucket twice.
  if (buckets_.size() < groups_.size() + 1) buckets_.resize(groups_.size() + 1);
  left_weight_ = 0.0;
  start_batch();
}

void EventGroupScorer::need_reciprocals() {
  if (reciprocals_) return;
  for (EventGroup& group : groups_) add_reciprocals(group);
  reciprocals_ = true;
}

void EventGroupScorer::clear() {
  std::fill_n(buckets_.begin(), groups_.size() + 1, BucketCounts{});
  left_weight_ = 0.0;
  start_batch();
}

template <class Unit>
const EventGroupScorer::LaneArray& EventGroupScorer::scores() {
  walk<Pass::kExact, Unit>(batch(), scores_.data());
  start_batch();
  return scores_;
}

template <class Unit>
const std::array<EventGroupScorer::ScoreBounds, EventGroupScorer::kLanes>&
EventGroupScorer::bounds() {
  need_reciprocals();
  walk<Pass::kBound, Unit>(batch(), bounds_.data());
  start_batch();
  return bounds_;
}

template <class Unit>
const std::array<EventGroupScorer::ScoreBounds, EventGroupScorer::kLanes / 2>&
EventGroupScorer::block_bounds() {
  need_reciprocals();
  walk<Pass::kBlockBound, Unit>(batch(), block_bounds_.data());
  start_batch();
  return block_bounds_;
}

void EventGroupScorer::start_batch() {
  used_ = 0;
  pending_lanes_ = LaneVector{} + 1.0;
}

namespace {

// The passes of every unit, instantiated here for the searches compiled
// elsewhere.
template <class Unit>
constexpr auto passes_of() {
  return std::tuple{&EventGroupScorer::scores<Unit>, &EventGroupScorer::bounds<Unit>,
                    &EventGroupScorer::block_bounds<Unit>};
}
[[maybe_unused, gnu::used]] constexpr auto kPasses =
    per_unit([]<class Unit>() { return passes_of<Unit>(); });

}  // namespace

}  // namespace korvane::detail
