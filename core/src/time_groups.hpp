#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::detail {

// Only the byte 1 marks an observed event; every other value is censored.
[[nodiscard]] inline bool is_event(std::uint8_t indicator) { return indicator == 1; }

// The groups of equal times of n occurrences sorted by time, shared by the
// log-rank statistic and the Nelson–Aalen estimate: calls
//   visit(start, end, events, at_risk)
// per group of positions [start, end), in ascending time order, where
// `same_time(start, i)` tells whether position i has the time of the group
// starting at `start` and `event_at(i)` whether it is an event. `at_risk` counts
// the occurrences at or after the group, each weighing `weight_at(i)` (of type
// Count; `total` is the weight of all n). A group always takes its first
// position, so the walk ends whatever `same_time` says.
template <class Count, class SameTime, class EventAt, class WeightAt, class Visit>
void for_each_weighted_time_group(std::size_t n, Count total, SameTime&& same_time,
                                  EventAt&& event_at, WeightAt&& weight_at, Visit&& visit) {
  Count at_risk = total;
  for (std::size_t start = 0; start < n;) {
    std::size_t end = start;
    Count events = 0;
    Count weight = 0;
    do {
      const Count w = weight_at(end);
      events += event_at(end) ? w : Count{0};
      weight += w;
      ++end;
    } while (end < n && same_time(start, end));
    visit(start, end, events, at_risk);
    at_risk -= weight;
    start = end;
  }
}

// Every occurrence counts once.
template <class SameTime, class EventAt, class Visit>
void for_each_time_group(std::size_t n, SameTime&& same_time, EventAt&& event_at, Visit&& visit) {
  for_each_weighted_time_group(
      n, n, same_time, event_at, [](std::size_t) { return std::size_t{1}; }, visit);
}

}  // namespace korvane::detail
