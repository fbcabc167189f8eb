#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "korvane/call_control.hpp"
#include "korvane/data.hpp"

namespace korvane {

// Where a split sent the node's rows whose value of its feature is missing:
// none there (kUnseen), or the side the criterion chose for them.
enum class MissingSide : std::uint8_t { kUnseen, kLeft, kRight };

// An axis-aligned split: values <= threshold go left, all others right; rows
// missing the value go to `missing`'s side (right when unseen). A threshold of
// +inf splits "is missing": every present value left, the missing ones right.
struct BestSplit {
  std::uint32_t feature = 0;
  double threshold = 0.0;
  double score = 0.0;
  MissingSide missing = MissingSide::kUnseen;

  friend bool operator==(const BestSplit&, const BestSplit&) = default;
};

// The least each child of an admissible split holds: `count` occurrences (a
// row drawn twice counts twice) and, in a weighted fit, a sum of its rows'
// weights of `weight` (0: no floor on weight; an unweighted criterion reads
// only the count). A bare count converts to the floor of that count alone.
struct ChildFloor {
  std::size_t count = 1;
  double weight = 0.0;

  constexpr ChildFloor(std::size_t count_ = 1, double weight_ = 0.0)  // NOLINT(*-explicit-*)
      : count(count_), weight(weight_) {}

  friend bool operator==(const ChildFloor&, const ChildFloor&) = default;
};

// What the tree builder needs of a split rule. A criterion owns the outcome of
// its fit (one value per training row, `n_samples()` of them); `rows` are a
// node's splitting rows (read only, duplicates counted), `features` its
// candidates in examination order; each side of an admissible split meets
// `floor`. `weight()` is the weights the criterion sums (RowWeights' rounded
// values), empty when unweighted. A search that can take long (a large
// node) checks `control` between features and throws Cancelled once it asks
// to stop.
template <class C>
concept SplitCriterion = requires(
    const C& criterion, const Covariates& covariates, std::span<const std::uint32_t> rows,
    std::span<const std::uint32_t> features, const ChildFloor& floor, const CallControl& control) {
  { criterion.n_samples() } -> std::same_as<std::size_t>;
  { criterion.weight() } -> std::same_as<std::span<const double>>;
  {
    criterion.find_best_split(covariates, rows, features, floor, control)
  } -> std::same_as<std::optional<BestSplit>>;
};

// A criterion whose searches keep their buffers in a `Scratch` lent by the
// caller: the builder passes one to every node's search of a tree (a forest
// lends one to all the trees a thread grows in a row), so that small nodes do
// not pay for allocation. The result is the one the search without it gives.
template <class C>
concept ScratchCriterion =
    SplitCriterion<C> && std::default_initializable<typename C::Scratch> &&
    requires(const C& criterion, const Covariates& covariates, std::span<const std::uint32_t> rows,
             std::span<const std::uint32_t> features, const ChildFloor& floor,
             const CallControl& control, typename C::Scratch& scratch) {
      {
        criterion.find_best_split(covariates, rows, features, floor, control, scratch)
      } -> std::same_as<std::optional<BestSplit>>;
    };

// What a builder keeps for a criterion's searches: its Scratch, or nothing.
struct NoScratch {};
template <class C>
struct ScratchOf {
  using type = NoScratch;
};
template <ScratchCriterion C>
struct ScratchOf<C> {
  using type = typename C::Scratch;
};

// 2 × min_samples_leaf without wrapping around.
[[nodiscard]] inline std::size_t twice_saturating(std::size_t count) {
  return count > SIZE_MAX / 2 ? SIZE_MAX : 2 * count;
}

}  // namespace korvane
