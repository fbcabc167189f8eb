#include "event_group_scorer.hpp"

#include <algorithm>
#include <cstring>

namespace korvane::detail {

namespace {

using Lanes = double __attribute__((vector_size(EventGroupScorer::kLanes * sizeof(double))));
using Counts = EventGroupScorer::Counts;
using EventGroup = EventGroupScorer::EventGroup;
using LaneCounts = EventGroupScorer::LaneCounts;
constexpr std::size_t kLanes = EventGroupScorer::kLanes;

// The counts of one slot per lane, converted exactly to doubles. Works through a
// reference so that no vector is passed by value between differently compiled code.
inline void load_counts(Lanes& out, const LaneCounts& counts, std::size_t slot) {
  Counts batch;
  std::memcpy(&batch, counts.batch.data() + slot * kLanes, sizeof batch);
  out = counts.base[slot] + __builtin_convertvector(batch, Lanes);
}

// The log-rank statistic of every lane. Cloned for wider vector units and
// chosen at run time; no clone fuses operations (contraction is off).
__attribute__((target_clones("avx512f", "avx2", "default"))) void score_lanes(
    const std::vector<EventGroup>& groups, const LaneCounts& in_bucket,
    const LaneCounts& events_in_group, const double* n_left, double* scores) {
  Lanes at_risk_left;
  std::memcpy(&at_risk_left, n_left, sizeof at_risk_left);
  Lanes leaving;
  load_counts(leaving, in_bucket, 0);
  at_risk_left = at_risk_left - leaving;
  Lanes u{};
  Lanes v{};
  for (std::size_t k = 0; k < groups.size(); ++k) {
    const EventGroup& group = groups[k];
    const Lanes p = at_risk_left / group.at_risk;
    const Lanes e = p * group.events;
    Lanes observed;
    load_counts(observed, events_in_group, k);
    u = u + (observed - e);
    if (group.has_variance) v = v + (group.survivors * (e * (1.0 - p))) / group.at_risk_minus_one;
    load_counts(leaving, in_bucket, k + 1);
    at_risk_left = at_risk_left - leaving;
  }
  for (std::size_t j = 0; j < kLanes; ++j) {
    scores[j] = v[j] > 0.0 ? u[j] * u[j] / v[j] : 0.0;
  }
}

void reset(LaneCounts& counts, std::size_t slots) {
  counts.base.assign(slots, 0.0);
  counts.batch.assign(slots * kLanes, 0);
  counts.touched.clear();
}

// Folds the last lane, which holds every move of the batch, into the base.
void fold_batch(LaneCounts& counts) {
  for (const std::uint32_t slot : counts.touched) {
    std::int32_t* lanes = counts.batch.data() + static_cast<std::size_t>(slot) * kLanes;
    counts.base[slot] += lanes[kLanes - 1];
    std::fill_n(lanes, kLanes, 0);
  }
  counts.touched.clear();
}

}  // namespace

EventGroupScorer::EventGroupScorer(const SortedNode& node) : events_(node.sorted_events) {
  bucket_.resize(node.sorted_rows.size());
  std::uint32_t bucket = 0;
  for (std::size_t g = 0; g < node.groups.size(); ++g) {
    const std::uint32_t d = node.group_events[g];
    const std::uint32_t y = node.group_at_risk[g];
    if (d > 0) {
      ++bucket;
      groups_.push_back({static_cast<double>(d), static_cast<double>(y),
                         static_cast<double>(y) - static_cast<double>(d),
                         static_cast<double>(y - 1), y > 1});
    }
    std::fill(bucket_.begin() + node.groups[g].start, bucket_.begin() + node.groups[g].end, bucket);
  }
  clear();
}

void EventGroupScorer::clear() {
  reset(in_bucket_, groups_.size() + 1);
  reset(events_in_group_, groups_.size());
  start_lane(0);
}

void EventGroupScorer::start_lane(std::size_t first) {
  used_ = first;
  for (std::size_t j = 0; j < kLanes; ++j) pending_lanes_[j] = j >= first ? 1 : 0;
}

bool EventGroupScorer::add_candidate(std::size_t n_left) {
  n_left_[used_] = static_cast<double>(n_left);
  start_lane(used_ + 1);
  return used_ == kLanes;
}

const std::array<double, EventGroupScorer::kLanes>& EventGroupScorer::scores() {
  score_lanes(groups_, in_bucket_, events_in_group_, n_left_.data(), scores_.data());
  fold_batch(in_bucket_);
  fold_batch(events_in_group_);
  start_lane(0);
  return scores_;
}

}  // namespace korvane::detail
