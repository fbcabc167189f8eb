#pragma once

#include <concepts>
#include <cstdint>
#include <span>

#include "korvane/step_function.hpp"

namespace korvane {

// What a leaf of a fitted tree holds, computed from the leaf's estimation rows
// (duplicates counted). A model kind picks its leaf estimate where it is wired,
// next to its criterion.
template <class L>
concept LeafEstimate = requires(const L& leaves, std::span<const std::uint32_t> rows) {
  typename L::Payload;
  { leaves.estimate(rows) } -> std::same_as<typename L::Payload>;
};

// The leaf payload of partition-only trees.
struct NoPayload {
  friend bool operator==(const NoPayload&, const NoPayload&) = default;
};

// No estimate: trees that only partition the rows (their forest answers
// through forest weights).
struct NoLeaves {
  using Payload = NoPayload;
  [[nodiscard]] NoPayload estimate(std::span<const std::uint32_t>) const { return {}; }
};

// The Nelson–Aalen curve after an event time with `events` of `at_risk`
// occurrences: the one step both the estimate and the persistence format's
// reader take, so a curve rebuilt from its counts is the same to the last bit.
[[nodiscard]] inline double nelson_aalen_step(double cumulative, std::uint64_t events,
                                              std::uint64_t at_risk) {
  return cumulative + static_cast<double>(events) / static_cast<double>(at_risk);
}

// Nelson–Aalen cumulative hazard of each leaf's rows; a row listed k times
// counts as k observations, and k times its weight when weights are given
// (RowWeights' rounded values). Borrows the fit's times (never NaN), event
// indicators (only the byte 1 is an event) and weights (empty: unweighted).
struct NelsonAalenLeaves {
  using Payload = StepFunction;
  std::span<const double> time;
  std::span<const std::uint8_t> event;
  std::span<const double> weight{};

  [[nodiscard]] StepFunction estimate(std::span<const std::uint32_t> rows) const;
};

static_assert(LeafEstimate<NoLeaves>);
static_assert(LeafEstimate<NelsonAalenLeaves>);

}  // namespace korvane
