#include "korvane/leaf_estimates.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "time_groups.hpp"
#include "value_order.hpp"

namespace korvane {

namespace {

constexpr std::size_t kShortestMergeSort = 64;

// (time, is event) of the rows in ascending time order, ties in row-list order.
// Private copies: the sort and the grouping never re-read the caller's arrays.
std::vector<std::pair<double, bool>> by_time(std::span<const double> time,
                                             std::span<const std::uint8_t> event,
                                             std::span<const std::uint32_t> rows) {
  std::vector<std::pair<double, bool>> pairs;
  pairs.reserve(rows.size());
  for (const std::uint32_t row : rows) pairs.emplace_back(time[row], detail::is_event(event[row]));
  const auto earlier = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (pairs.size() < kShortestMergeSort) {
    // Leaves are small: no merge buffer to allocate.
    detail::insertion_sort(std::span(pairs), earlier);
  } else {
    std::stable_sort(pairs.begin(), pairs.end(), earlier);
  }
  return pairs;
}

}  // namespace

StepFunction NelsonAalenLeaves::estimate(std::span<const std::uint32_t> rows) const {
  if (rows.empty()) return StepFunction::empty();
  const std::vector<std::pair<double, bool>> pairs = by_time(time, event, rows);
  std::vector<double> times;
  std::vector<double> values;
  double cumulative = 0.0;
  detail::for_each_time_group(
      pairs.size(),
      [&](std::size_t start, std::size_t i) { return pairs[i].first == pairs[start].first; },
      [&](std::size_t i) { return pairs[i].second; },
      [&](std::size_t start, std::size_t, std::size_t events, std::size_t at_risk) {
        if (events == 0) return;
        // Sums run left to right in time order, one division per event time.
        cumulative = nelson_aalen_step(cumulative, events, at_risk);
        times.push_back(pairs[start].first);
        values.push_back(cumulative);
      });
  return {std::move(times), std::move(values)};
}

}  // namespace korvane
