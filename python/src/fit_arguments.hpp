#pragma once

// Conversion and checking of the fit functions' arguments. A fit runs these
// in a fixed order and stops at the first failure: conversions in parameter
// order, slice access of the 1-D arrays, their lengths, the layout of X, the
// forest settings, the honesty fraction, the growth rules, then the checks
// that need to look at the data (the sample weights after the covariates), and
// the max_features setting last.

#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>

#include "arguments.hpp"
#include "convert.hpp"
#include "korvane/criteria/relabeled.hpp"
#include "korvane/data.hpp"
#include "korvane/params.hpp"
#include "korvane/sample_weights.hpp"

namespace korvane::python {

// The max_features argument as given, parsed last once the column count is
// known, and what None means for this fit.
struct MaxFeaturesSetting {
  PyObject* given;
  korvane::MaxFeatures if_none;
};

struct MaxFeaturesOr {
  korvane::MaxFeatures (*if_none)();
  MaxFeaturesSetting operator()(PyObject* value) const { return {value, if_none()}; }
};

// The parameters the fit declarations share. Those whose default differs
// between the fits are written in each declaration.
inline constexpr auto kTrainingX = positional("X", ArrayOf{2, NPY_FLOAT64});
inline constexpr auto kEventTime = positional("event_time", ArrayOf{1, NPY_FLOAT64});
inline constexpr auto kEventIndicator = positional("event_indicator", ArrayOf{1, NPY_UINT8});
inline constexpr auto kPseudoOutcome = positional("pseudo_outcome", ArrayOf{1, NPY_FLOAT64});
inline constexpr auto kMaxDepth = keyword("max_depth", "None", to_max_depth);
inline constexpr auto kHonestyFraction = keyword("honesty_fraction", "0.5", to_fraction);
inline constexpr auto kSeed = keyword("seed", "None", to_seed);
// Only the private fits declare it; the public ones stay unweighted.
inline constexpr auto kSampleWeight =
    keyword("sample_weight", "None", OptionalArrayOf{1, NPY_FLOAT64});

// The growth rules only the private fits declare (the public ones keep the
// rules they always had: these defaults).
inline constexpr auto kGrowthParameters = std::tuple{
    keyword("min_samples_split", "2", to_u64), keyword("max_leaf_nodes", "None", to_optional_u64),
    keyword("min_weight_fraction_leaf", "0.0", to_fraction)};

// How the private fits' docstrings describe sample_weight.
inline constexpr char kSampleWeightDoc[] =
    "sample_weight : ndarray of float64, shape (n_samples,), optional\n"
    "    Frequency weight of each row: finite, >= 0, not all 0. A row of\n"
    "    weight 2 counts as two occurrences in every at-risk and event count\n"
    "    (or mean), and rows of weight 0 are left out. Never modified.\n";
inline constexpr char kGrowthDoc[] =
    "min_samples_split : int, default=2\n"
    "    A node of fewer splitting rows than this (a row drawn twice counts\n"
    "    twice) is a leaf; >= 2.\n"
    "max_leaf_nodes : int, optional\n"
    "    Grow each tree best first to at most this many leaves (>= 2): the\n"
    "    node whose split scores highest is split next, the node made first on\n"
    "    a tie. None grows depth first without a limit.\n"
    "min_weight_fraction_leaf : float, default=0.0\n"
    "    Each child holds at least this share, in [0, 0.5], of the weight of\n"
    "    the tree's rows (its splitting rows, and under honesty also of its\n"
    "    estimation rows); unweighted, ceil(share * rows) rows.\n";

// Defaults: the rules of the public fits.
struct GrowthSettings {
  std::uint64_t min_samples_split = 2;
  std::optional<std::uint64_t> max_leaf_nodes;
  double min_weight_fraction_leaf = 0.0;
};

struct TreeSettings {
  std::uint64_t min_samples_leaf;
  std::optional<std::uint32_t> max_depth;
  MaxFeaturesSetting max_features;
  bool honesty;
  double honesty_fraction;
  std::uint64_t seed;
  GrowthSettings growth;
};

// A forest is configured like its trees plus three settings of its own.
struct ForestSettings : TreeSettings {
  std::uint64_t n_trees;
  bool bootstrap;
  double subsample_fraction;
};

struct SurvivalArrays {
  PyArrayObject* x;
  PyArrayObject* event_time;
  PyArrayObject* event_indicator;
  PyArrayObject* sample_weight = nullptr;  // none: unweighted
};

struct GradientArrays {
  PyArrayObject* x;
  PyArrayObject* pseudo_outcome;
  PyArrayObject* sample_weight = nullptr;
};

// The checked weights of a weighted fit, rounded (RowWeights) and owned by the
// inputs; none for an unweighted one.
struct FitWeights {
  std::optional<korvane::RowWeights> rounded;
  // What the core's weighted types take: empty when unweighted.
  [[nodiscard]] std::span<const double> values() const {
    return rounded ? rounded->values() : std::span<const double>{};
  }
};

// Everything a log-rank fit hands to the core, borrowing the caller's arrays
// for the duration of the call.
template <class Params>
struct LogRankInputs {
  korvane::MatrixView x;
  std::span<const double> time;
  std::span<const std::uint8_t> event;
  Params params;
  std::uint64_t seed;
  FitWeights weights;
  korvane::MissingValues missing_values;
};

struct GradientInputs {
  korvane::MatrixView x;
  std::span<const double> pseudo_outcome;
  korvane::ForestParams params;
  std::uint64_t seed;
  FitWeights weights;
  korvane::MissingValues missing_values;
};

// The arrays of an effect forest's fit: two per-row columns (outcome and
// treatment, or numerator and denominator) and optional sample weights
// (nullptr for none).
struct EffectArrays {
  PyArrayObject* x;
  PyArrayObject* first;
  PyArrayObject* second;
  PyArrayObject* sample_weight;
  PyArrayObject* balance;  // the side floor's column, or nullptr for none
};

// The names of an effect fit's two columns, for its messages.
struct EffectColumnNames {
  const char* first;
  const char* second;
};

struct EffectInputs {
  korvane::MatrixView x;
  std::span<const double> first;
  std::span<const double> second;
  FitWeights weights;  // rounded as a survival fit's; they weigh the splits
  double min_child_fraction;
  korvane::SideFloor side_floor;
  korvane::ForestParams params;
  std::uint64_t seed;
  korvane::MissingValues missing_values;
};

// With kRefused (the public fits) NaN in X is refused; with kIncorporated NaN
// marks a missing value and infinite values are refused instead.
LogRankInputs<korvane::TreeParams> checked_tree_inputs(const SurvivalArrays& arrays,
                                                       const TreeSettings& settings,
                                                       korvane::MissingValues missing);
LogRankInputs<korvane::ForestParams> checked_forest_inputs(const SurvivalArrays& arrays,
                                                           const ForestSettings& settings,
                                                           korvane::MissingValues missing);
GradientInputs checked_gradient_inputs(const GradientArrays& arrays, const ForestSettings& settings,
                                       korvane::MissingValues missing);

// How a fit treats NaN in X: as missing values when it declares
// `missing_values` and the caller asks for it, else refused.
template <const auto& D>
korvane::MissingValues missing_values(const Arguments<D>& arguments) {
  if constexpr (D.index_of("missing_values") < std::remove_cvref_t<decltype(D)>::size) {
    if (get<"missing_values">(arguments)) return korvane::MissingValues::kIncorporated;
  }
  return korvane::MissingValues::kRefused;
}

// The settings an effect fit adds to a gradient forest's.
struct EffectSettings {
  std::uint64_t ci_group_size;
  double min_child_fraction;
  korvane::MissingValues missing;
  std::uint64_t min_side_samples;
};

// The gradient forest's checks, then: both columns finite, sample_weight
// finite, >= 0 and not all 0, min_child_fraction in [0, 0.5), the little
// bags of ci_group_size trees possible on these rows, and a finite balance
// column wherever min_side_samples asks for a side floor.
EffectInputs checked_effect_inputs(const EffectArrays& arrays, EffectColumnNames names,
                                   const ForestSettings& settings, EffectSettings effect);

// The growth rules of a function that declares them; the defaults otherwise.
template <const auto& D>
GrowthSettings growth_settings(const Arguments<D>& arguments) {
  if constexpr (D.index_of("min_samples_split") < std::remove_cvref_t<decltype(D)>::size) {
    return {get<"min_samples_split">(arguments), get<"max_leaf_nodes">(arguments),
            get<"min_weight_fraction_leaf">(arguments)};
  } else {
    return {};
  }
}

// Reading the settings of any function that declares them, whatever else it
// declares.
template <const auto& D>
TreeSettings tree_settings(const Arguments<D>& arguments) {
  return {.min_samples_leaf = get<"min_samples_leaf">(arguments),
          .max_depth = get<"max_depth">(arguments),
          .max_features = get<"max_features">(arguments),
          .honesty = get<"honesty">(arguments),
          .honesty_fraction = get<"honesty_fraction">(arguments),
          .seed = get<"seed">(arguments),
          .growth = growth_settings(arguments)};
}

template <const auto& D>
ForestSettings forest_settings(const Arguments<D>& arguments) {
  return {tree_settings(arguments), get<"n_trees">(arguments), get<"bootstrap">(arguments),
          get<"subsample_fraction">(arguments)};
}

// The sample_weight argument of a function that declares it; none otherwise.
template <const auto& D>
PyArrayObject* sample_weight_of(const Arguments<D>& arguments) {
  if constexpr (D.index_of("sample_weight") < std::remove_cvref_t<decltype(D)>::size) {
    return get<"sample_weight">(arguments);
  } else {
    return nullptr;
  }
}

template <const auto& D>
SurvivalArrays survival_arrays(const Arguments<D>& arguments) {
  return {get<"X">(arguments), get<"event_time">(arguments), get<"event_indicator">(arguments),
          sample_weight_of(arguments)};
}

template <const auto& D>
LogRankInputs<korvane::TreeParams> checked_tree_inputs(const Arguments<D>& arguments) {
  return checked_tree_inputs(survival_arrays(arguments), tree_settings(arguments),
                             missing_values(arguments));
}

template <const auto& D>
LogRankInputs<korvane::ForestParams> checked_forest_inputs(const Arguments<D>& arguments) {
  return checked_forest_inputs(survival_arrays(arguments), forest_settings(arguments),
                               missing_values(arguments));
}

template <const auto& D>
GradientInputs checked_gradient_inputs(const Arguments<D>& arguments) {
  return checked_gradient_inputs(
      {get<"X">(arguments), get<"pseudo_outcome">(arguments), sample_weight_of(arguments)},
      forest_settings(arguments), missing_values(arguments));
}

}  // namespace korvane::python
