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
// the occurrences at or after the group. A group always takes its first
// position, so the walk ends whatever `same_time` says.
template <class SameTime, class EventAt, class Visit>
void for_each_time_group(std::size_t n, SameTime&& same_time, EventAt&& event_at, Visit&& visit) {
  std::size_t at_risk = n;
  for (std::size_t start = 0; start < n;) {
    std::size_t end = start;
    std::size_t events = 0;
    do {
      events += event_at(end) ? 1 : 0;
      ++end;
    } while (end < n && same_time(start, end));
    visit(start, end, events, at_risk);
    at_risk -= end - start;
    start = end;
  }
}

}  // namespace korvane::detail
