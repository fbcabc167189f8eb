#include "korvane/leaf_estimates.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "korvane/sample_weights.hpp"
#include "time_groups.hpp"
#include "value_order.hpp"

namespace korvane {

namespace {

constexpr std::size_t kShortestMergeSort = 64;

// A row of a leaf, copied: the sort and the grouping never re-read the
// caller's arrays. A weighted fit's rows carry their weights.
template <class Weighting>
struct Occurrence {
  double time;
  bool event;
  [[nodiscard]] static std::size_t weight() { return 1; }
};

template <>
struct Occurrence<SampleWeights> {
  double time;
  bool event;
  double weight_value;
  [[nodiscard]] double weight() const { return weight_value; }
};

template <class Weighting>
Occurrence<Weighting> occurrence(const NelsonAalenLeaves& leaves, std::uint32_t row) {
  if constexpr (Weighting::kUnit) {
    return {leaves.time[row], detail::is_event(leaves.event[row])};
  } else {
    return {leaves.time[row], detail::is_event(leaves.event[row]), leaves.weight[row]};
  }
}

// The rows in ascending time order, ties in row-list order, into `sorted`
// (as long as `rows`).
template <class Weighting>
void sort_by_time(const NelsonAalenLeaves& leaves, std::span<const std::uint32_t> rows,
                  std::span<Occurrence<Weighting>> sorted) {
  for (std::size_t i = 0; i < rows.size(); ++i) sorted[i] = occurrence<Weighting>(leaves, rows[i]);
  const auto earlier = [](const auto& a, const auto& b) { return a.time < b.time; };
  if (sorted.size() < kShortestMergeSort) {
    detail::insertion_sort(sorted, earlier);
  } else {
    std::stable_sort(sorted.begin(), sorted.end(), earlier);
  }
}

// The distinct times of the sorted occurrences' events: the steps of their
// curve, reserved up front so that a curve allocates once, not once per
// doubling (a small forest's leaves allocated more than its nodes did).
template <class Weighting>
std::size_t count_event_times(std::span<const Occurrence<Weighting>> sorted) {
  std::size_t count = 0;
  double last = 0.0;
  for (const auto& entry : sorted) {
    if (entry.event && (count == 0 || entry.time != last)) {
      ++count;
      last = entry.time;
    }
  }
  return count;
}

// Counted occurrences, or summed weights (rounded weights sum exactly, so the
// at-risk weight is the same whatever the order).
template <class Weighting>
StepFunction curve_of(std::span<const Occurrence<Weighting>> sorted) {
  using Count = decltype(sorted.front().weight());
  Count total = 0;
  for (const auto& entry : sorted) total += entry.weight();
  std::vector<double> times;
  std::vector<double> values;
  const std::size_t steps = count_event_times<Weighting>(sorted);
  times.reserve(steps);
  values.reserve(steps);
  double cumulative = 0.0;
  detail::for_each_weighted_time_group(
      sorted.size(), total,
      [&](std::size_t start, std::size_t i) { return sorted[i].time == sorted[start].time; },
      [&](std::size_t i) { return sorted[i].event; },
      [&](std::size_t i) { return sorted[i].weight(); },
      [&](std::size_t start, std::size_t, Count events, Count at_risk) {
        if (events == 0) return;
        // Sums run left to right in time order, one division per event time.
        if constexpr (Weighting::kUnit) {
          cumulative = nelson_aalen_step(cumulative, events, at_risk);
        } else {
          cumulative = cumulative + events / at_risk;
        }
        times.push_back(sorted[start].time);
        values.push_back(cumulative);
      });
  return {std::move(times), std::move(values)};
}

// A leaf's rows are sorted on the stack when they are few, as most leaves'
// are: a small forest's leaves otherwise allocated once more each.
template <class Weighting>
StepFunction estimate_of(const NelsonAalenLeaves& leaves, std::span<const std::uint32_t> rows) {
  if (rows.size() <= kShortestMergeSort) {
    std::array<Occurrence<Weighting>, kShortestMergeSort> buffer;
    const std::span<Occurrence<Weighting>> sorted(buffer.data(), rows.size());
    sort_by_time<Weighting>(leaves, rows, sorted);
    return curve_of<Weighting>(sorted);
  }
  std::vector<Occurrence<Weighting>> sorted(rows.size());
  sort_by_time<Weighting>(leaves, rows, sorted);
  return curve_of<Weighting>(sorted);
}

}  // namespace

StepFunction NelsonAalenLeaves::estimate(std::span<const std::uint32_t> rows) const {
  if (rows.empty()) return StepFunction::empty();
  return weight.empty() ? estimate_of<UnitWeights>(*this, rows)
                        : estimate_of<SampleWeights>(*this, rows);
}

}  // namespace korvane
