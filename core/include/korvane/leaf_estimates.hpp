#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "korvane/step_function.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// What a leaf of a fitted tree holds, computed from the leaf's estimation rows
// (duplicates counted) in the form the tree's leaf collection takes. A model
// kind picks its leaf estimate where it is wired, next to its criterion.
template <class L>
concept LeafEstimate = requires(const L& leaves, std::span<const std::uint32_t> rows,
                                LeafStorageOf<typename L::Payload>& kept) {
  kept.push_back(leaves.estimate(rows));
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
// (RowWeights' rounded values). Borrows the fit's event indicators (only the
// byte 1 is an event) and weights (empty: unweighted). Curves index one table
// of the fit's distinct times by the times' dense ranks: a leaf's rows are
// sorted and grouped by rank, which orders and ties them as their times do.
class NelsonAalenLeaves {
 public:
  using Payload = StepFunction;

  // Ranks the times (never NaN) itself.
  NelsonAalenLeaves(std::span<const double> time, std::span<const std::uint8_t> event,
                    std::span<const double> weight = {});
  // Borrows the dense ranks of the times (LogRankCriterion::time_ranks()),
  // which spares the fit a second ranking of its times.
  NelsonAalenLeaves(std::span<const double> time, std::span<const std::uint8_t> event,
                    std::span<const double> weight, std::span<const std::uint32_t> time_rank);

  [[nodiscard]] LeafCurve estimate(std::span<const std::uint32_t> rows) const;
  [[nodiscard]] std::span<const std::uint8_t> event() const { return event_; }
  [[nodiscard]] std::span<const double> weight() const { return weight_; }
  [[nodiscard]] std::span<const std::uint32_t> time_rank() const {
    return own_ranks_.empty() ? borrowed_ranks_ : own_ranks_;
  }

 private:
  std::span<const std::uint8_t> event_;
  std::span<const double> weight_;
  std::vector<std::uint32_t> own_ranks_;
  std::span<const std::uint32_t> borrowed_ranks_;
  TimeTable table_;
};

static_assert(LeafEstimate<NoLeaves>);
static_assert(LeafEstimate<NelsonAalenLeaves>);

}  // namespace korvane
