#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "korvane/call_control.hpp"
#include "korvane/criterion.hpp"
#include "korvane/data.hpp"

namespace korvane {

// How a node's rows are relabelled before its split search: each occurrence
// gets the gradient of the node's local moment condition at the node's own
// estimate. relabel(rows, sample_weight, out) writes out[k] for rows[k], with
// sample_weight[row] the row's weight (every row weighs 1 when it is empty),
// and returns false when the node's estimate does not exist (a zero
// denominator), in which case it cannot split.
template <class R>
concept Relabeling = requires(const R& relabeling, std::span<const std::uint32_t> rows,
                              std::span<const double> weight, std::span<double> out) {
  { relabeling.n_samples() } -> std::same_as<std::size_t>;
  { relabeling.relabel(rows, weight, out) } -> std::same_as<bool>;
};

// The treatment effect of a node: y and w are the outcome and the treatment,
// both already centred by their nuisance estimates. With the node's weighted
// means ȳ and w̄, tau = Σ v(w − w̄)(y − ȳ) / Σ v(w − w̄)² and row i's label is
// (w_i − w̄)((y_i − ȳ) − (w_i − w̄)·tau) / (Σ v(w − w̄)² / Σ v). A node whose
// treatment does not vary has no estimate.
struct CausalRelabeling {
  std::span<const double> outcome;
  std::span<const double> treatment;

  [[nodiscard]] std::size_t n_samples() const { return outcome.size(); }

  [[nodiscard]] bool relabel(std::span<const std::uint32_t> rows,
                             std::span<const double> sample_weight, std::span<double> out) const;
};

// The solution of a node's estimating equation Σ v(num − tau·den) = 0:
// tau = Σ v·num / Σ v·den and row i's label is
// (num_i − tau·den_i) / (Σ v·den / Σ v). A node whose denominators sum to 0 has
// no estimate.
struct RatioRelabeling {
  std::span<const double> numerator;
  std::span<const double> denominator;

  [[nodiscard]] std::size_t n_samples() const { return numerator.size(); }

  [[nodiscard]] bool relabel(std::span<const std::uint32_t> rows,
                             std::span<const double> sample_weight, std::span<double> out) const;
};

// A floor on the rows each child of a split holds on either side of the
// node's mean of a balance column (above it, and at or below it). With the
// treatment as that column, a child with too few rows treated more, or less,
// than its parent's average cannot estimate an effect, and its relabelled rows
// only echo the few it has. min_per_side = 0 sets no floor.
struct SideFloor {
  std::span<const double> balance;
  std::size_t min_per_side = 0;
};

// Splits a node by the variance reduction of its relabelled rows: the
// relabeling runs once per node, then the gradient criterion's variance scan
// walks the labels. `sample_weight` (one per training row, or empty for none)
// weighs both the relabeling and the scan. Each side of a split holds at least
// ceil(min_child_fraction · node rows) occurrences, and meets the builder's
// floor and `side_floor`.
template <Relabeling R>
class RelabelingCriterion {
 public:
  explicit RelabelingCriterion(R relabeling, std::span<const double> sample_weight = {},
                               double min_child_fraction = 0.0, SideFloor side_floor = {})
      : relabeling_(relabeling),
        sample_weight_(sample_weight),
        min_child_fraction_(min_child_fraction),
        side_floor_(side_floor) {}

  [[nodiscard]] std::size_t n_samples() const { return relabeling_.n_samples(); }
  [[nodiscard]] std::span<const double> weight() const { return sample_weight_; }

  [[nodiscard]] std::optional<BestSplit> find_best_split(
      const Covariates& covariates, std::span<const std::uint32_t> rows,
      std::span<const std::uint32_t> features, const ChildFloor& floor,
      const CallControl& control = CallControl{}) const;

 private:
  R relabeling_;
  std::span<const double> sample_weight_;
  double min_child_fraction_;
  SideFloor side_floor_;
};

static_assert(Relabeling<CausalRelabeling>);
static_assert(Relabeling<RatioRelabeling>);
static_assert(SplitCriterion<RelabelingCriterion<CausalRelabeling>>);
static_assert(SplitCriterion<RelabelingCriterion<RatioRelabeling>>);

extern template class RelabelingCriterion<CausalRelabeling>;
extern template class RelabelingCriterion<RatioRelabeling>;

}  // namespace korvane
