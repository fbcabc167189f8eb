#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "korvane/criterion.hpp"
#include "korvane/data.hpp"
#include "korvane/vector_unit.hpp"

namespace korvane {

// Splits by the two-sample log-rank statistic with the ties correction. Owns the
// fit's times and event indicators (borrowed, unchanged until the fit returns)
// and their dense ranks, computed once here so that nodes sort small integers.
class LogRankCriterion {
 public:
  // The search is compiled for each vector unit; this one runs the widest the
  // processor has, chosen here once per fit.
  LogRankCriterion(std::span<const double> time, std::span<const std::uint8_t> event);
  // Runs the search compiled for `unit`, which the processor must support.
  LogRankCriterion(std::span<const double> time, std::span<const std::uint8_t> event,
                   VectorUnit unit);
  // Weighted: each row counts as its weight (RowWeights' rounded values, so
  // that every sum is exact) in the at-risk and event counts; empty weights
  // are the unweighted criterion. The weights are borrowed like the times.
  LogRankCriterion(std::span<const double> time, std::span<const std::uint8_t> event,
                   std::span<const double> weight);
  LogRankCriterion(std::span<const double> time, std::span<const std::uint8_t> event,
                   std::span<const double> weight, VectorUnit unit);

  [[nodiscard]] std::size_t n_samples() const { return time_.size(); }
  [[nodiscard]] std::span<const std::uint8_t> event() const { return event_; }
  [[nodiscard]] std::span<const std::uint32_t> time_ranks() const { return time_ranks_; }
  [[nodiscard]] std::span<const double> weight() const { return weight_; }

  // The buffers of node searches. A node refills them, so once the largest
  // node so far has sized them the others allocate nothing: at a hundred rows,
  // allocation would otherwise cost as much as the search.
  class Scratch {
   public:
    Scratch();
    ~Scratch();
    Scratch(Scratch&&) noexcept;
    Scratch& operator=(Scratch&&) noexcept;

    struct Buffers;  // the search's own
    [[nodiscard]] Buffers& buffers() { return *buffers_; }

   private:
    std::unique_ptr<Buffers> buffers_;
  };

  [[nodiscard]] std::optional<BestSplit> find_best_split(
      const Covariates& covariates, std::span<const std::uint32_t> rows,
      std::span<const std::uint32_t> features, const ChildFloor& floor,
      const CallControl& control = CallControl{}) const;
  // The same search in a tree's buffers.
  [[nodiscard]] std::optional<BestSplit> find_best_split(const Covariates& covariates,
                                                         std::span<const std::uint32_t> rows,
                                                         std::span<const std::uint32_t> features,
                                                         const ChildFloor& floor,
                                                         const CallControl& control,
                                                         Scratch& scratch) const;

  // The split search over one node's occurrences (sorted into the buffers),
  // compiled for one vector unit and one weighting.
  using Search = std::optional<BestSplit> (*)(const Covariates&, Scratch::Buffers&,
                                              std::span<const std::uint32_t>, const ChildFloor&,
                                              const CallControl&);

 private:
  std::span<const double> time_;
  std::span<const std::uint8_t> event_;
  std::span<const double> weight_;  // empty: unweighted
  std::vector<std::uint32_t> time_ranks_;
  Search search_ = nullptr;
};

static_assert(ScratchCriterion<LogRankCriterion>);

}  // namespace korvane
