#include "korvane/leaf_estimates.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "korvane/error.hpp"
#include "korvane/sample_weights.hpp"
#include "time_groups.hpp"
#include "value_order.hpp"

namespace korvane {

namespace {

constexpr std::size_t kShortestMergeSort = 64;

// A row of a leaf, copied: the sort and the grouping never re-read the
// caller's arrays. A weighted fit's rows carry their weights.
// Rows are ordered and grouped by their time's rank, which orders and ties
// them as their times do; a group's jump is at its first row's time.
template <class Weighting>
struct Occurrence {
  std::uint32_t rank;
  std::uint32_t time;  // in the table
  bool event;
  [[nodiscard]] static std::size_t weight() { return 1; }
};

template <>
struct Occurrence<SampleWeights> {
  std::uint32_t rank;
  std::uint32_t time;
  bool event;
  double weight_value;
  [[nodiscard]] double weight() const { return weight_value; }
};

template <class Weighting>
Occurrence<Weighting> occurrence(const NelsonAalenLeaves& leaves, std::uint32_t row) {
  const std::uint32_t rank = leaves.time_rank()[row];
  const std::uint32_t time = leaves.table_index(row);
  if constexpr (Weighting::kUnit) {
    return {rank, time, detail::is_event(leaves.event()[row])};
  } else {
    return {rank, time, detail::is_event(leaves.event()[row]), leaves.weight()[row]};
  }
}

// The rows in ascending time order, ties in row-list order, into `sorted`
// (as long as `rows`).
template <class Weighting>
void sort_by_time(const NelsonAalenLeaves& leaves, std::span<const std::uint32_t> rows,
                  std::span<Occurrence<Weighting>> sorted) {
  for (std::size_t i = 0; i < rows.size(); ++i) sorted[i] = occurrence<Weighting>(leaves, rows[i]);
  const auto earlier = [](const auto& a, const auto& b) { return a.rank < b.rank; };
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
  std::uint32_t last = 0;
  for (const auto& entry : sorted) {
    if (entry.event && (count == 0 || entry.rank != last)) {
      ++count;
      last = entry.rank;
    }
  }
  return count;
}

// Counted occurrences, or summed weights (rounded weights sum exactly, so the
// at-risk weight is the same whatever the order).
template <class Weighting>
LeafCurve curve_of(std::span<const Occurrence<Weighting>> sorted, const TimeTable& table) {
  using Count = decltype(sorted.front().weight());
  Count total = 0;
  for (const auto& entry : sorted) total += entry.weight();
  std::vector<std::uint32_t> times;
  std::vector<double> values;
  const std::size_t steps = count_event_times<Weighting>(sorted);
  times.reserve(steps);
  values.reserve(steps);
  double cumulative = 0.0;
  detail::for_each_weighted_time_group(
      sorted.size(), total,
      [&](std::size_t start, std::size_t i) { return sorted[i].rank == sorted[start].rank; },
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
  return {table, std::move(times), std::move(values)};
}

// A leaf's rows are sorted on the stack when they are few, as most leaves'
// are: a small forest's leaves otherwise allocated once more each.
template <class Weighting>
LeafCurve estimate_of(const NelsonAalenLeaves& leaves, std::span<const std::uint32_t> rows,
                      const TimeTable& table) {
  if (rows.size() <= kShortestMergeSort) {
    std::array<Occurrence<Weighting>, kShortestMergeSort> buffer;
    const std::span<Occurrence<Weighting>> sorted(buffer.data(), rows.size());
    sort_by_time<Weighting>(leaves, rows, sorted);
    return curve_of<Weighting>(sorted, table);
  }
  std::vector<Occurrence<Weighting>> sorted(rows.size());
  sort_by_time<Weighting>(leaves, rows, sorted);
  return curve_of<Weighting>(sorted, table);
}

// The rank of the zeros when the times hold zeros of both signs.
std::uint32_t zeros_of_both_signs(std::span<const double> time,
                                  std::span<const std::uint32_t> rank) {
  bool negative = false;
  bool positive = false;
  std::uint32_t zero = NelsonAalenLeaves::kNoSplitZero;
  for (std::size_t i = 0; i < time.size(); ++i) {
    if (time[i] != 0.0) continue;
    (std::signbit(time[i]) ? negative : positive) = true;
    zero = rank[i];
  }
  return negative && positive ? zero : NelsonAalenLeaves::kNoSplitZero;
}

}  // namespace

NelsonAalenLeaves::NelsonAalenLeaves(std::span<const double> time,
                                     std::span<const std::uint8_t> event,
                                     std::span<const double> weight)
    : time_(time), event_(event), weight_(weight), own_ranks_(detail::dense_ranks(time)) {
  make_table();
}

NelsonAalenLeaves::NelsonAalenLeaves(std::span<const double> time,
                                     std::span<const std::uint8_t> event,
                                     std::span<const double> weight,
                                     std::span<const std::uint32_t> time_rank)
    : time_(time), event_(event), weight_(weight), borrowed_ranks_(time_rank) {
  if (time_rank.size() != time.size()) {
    fail("the times have " + std::to_string(time.size()) + " elements but their ranks " +
         std::to_string(time_rank.size()));
  }
  make_table();
}

void NelsonAalenLeaves::make_table() {
  const std::span<const std::uint32_t> rank = time_rank();
  split_zero_ = zeros_of_both_signs(time_, rank);
  const std::uint32_t highest = rank.empty() ? 0 : *std::max_element(rank.begin(), rank.end());
  const bool split = split_zero_ != kNoSplitZero;
  std::vector<double> table(rank.empty() ? 0 : std::size_t{highest} + 1 + (split ? 1 : 0));
  for (std::uint32_t row = 0; row < rank.size(); ++row) table[table_index(row)] = time_[row];
  table_ = std::make_shared<const std::vector<double>>(std::move(table));
}

LeafCurve NelsonAalenLeaves::estimate(std::span<const std::uint32_t> rows) const {
  if (rows.empty()) return {table_, {}, {}};
  return weight_.empty() ? estimate_of<UnitWeights>(*this, rows, table_)
                         : estimate_of<SampleWeights>(*this, rows, table_);
}

}  // namespace korvane
