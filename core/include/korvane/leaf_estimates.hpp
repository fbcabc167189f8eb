#pragma once

#include <cmath>
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
concept LeafEstimate =
    requires(const L& leaves, std::span<const std::uint32_t> rows,
             LeafStorageOf<typename L::Payload>& kept) { kept.push_back(leaves.estimate(rows)); };

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
// byte 1 is an event) and weights (empty: unweighted), and the times (never
// NaN). Curves index one table of the fit's distinct times, found from the
// times' dense ranks: no search per point.
class NelsonAalenLeaves {
 public:
  using Payload = StepFunction;
  static constexpr std::uint32_t kNoSplitZero = UINT32_MAX;

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
  // Where the row's time is in the table: its rank, except that zeros of both
  // signs (one rank, as no comparison tells them apart) are two entries, -0.0
  // first, since a leaf's curve jumps at the time of its first row and the
  // model format keeps that time's bits.
  [[nodiscard]] std::uint32_t table_index(std::uint32_t row) const {
    const std::uint32_t rank = time_rank()[row];
    return rank + static_cast<std::uint32_t>(rank > split_zero_ ||
                                             (rank == split_zero_ && !std::signbit(time_[row])));
  }

 private:
  void make_table();

  std::span<const double> time_;
  std::span<const std::uint8_t> event_;
  std::span<const double> weight_;
  std::vector<std::uint32_t> own_ranks_;
  std::span<const std::uint32_t> borrowed_ranks_;
  std::uint32_t split_zero_ = kNoSplitZero;  // the zeros' rank when both signs occur
  TimeTable table_;
};

static_assert(LeafEstimate<NoLeaves>);
static_assert(LeafEstimate<NelsonAalenLeaves>);

}  // namespace korvane
