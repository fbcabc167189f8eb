#include "korvane/nelson_aalen.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "value_order.hpp"

namespace korvane {

namespace {
constexpr std::size_t kShortestMergeSort = 64;
}  // namespace

StepFunction nelson_aalen(std::span<const double> time, std::span<const std::uint8_t> event,
                          std::span<const std::uint32_t> rows) {
  if (rows.empty()) return StepFunction::empty();
  // Private copies: the sort and the grouping never re-read the caller's arrays.
  std::vector<std::pair<double, bool>> pairs;
  pairs.reserve(rows.size());
  for (const std::uint32_t row : rows) pairs.emplace_back(time[row], event[row] == 1);
  const auto earlier = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (pairs.size() < kShortestMergeSort) {
    // Leaves are small: no merge buffer to allocate.
    detail::insertion_sort(std::span(pairs), earlier);
  } else {
    std::stable_sort(pairs.begin(), pairs.end(), earlier);
  }

  std::vector<double> times;
  std::vector<double> values;
  std::size_t at_risk = pairs.size();
  double cumulative = 0.0;
  std::size_t i = 0;
  while (i < pairs.size()) {
    const double group_time = pairs[i].first;
    std::size_t events = 0;
    std::size_t j = i;
    // The group always takes its first entry, so the walk ends even on NaN.
    do {
      events += pairs[j].second ? 1 : 0;
      ++j;
    } while (j < pairs.size() && pairs[j].first == group_time);
    if (events > 0) {
      // Sums run left to right in time order, one division per event time.
      cumulative += static_cast<double>(events) / static_cast<double>(at_risk);
      times.push_back(group_time);
      values.push_back(cumulative);
    }
    at_risk -= j - i;
    i = j;
  }
  return {std::move(times), std::move(values)};
}

}  // namespace korvane
