#pragma once

// Conversion and checking of the fit functions' arguments. A fit runs these
// in a fixed order and stops at the first failure: binding, conversions in
// parameter order, slice access of the 1-D arrays, their lengths, the layout
// of X, the forest settings, the honesty fraction, then the checks that need
// to look at the data, and the max_features setting last.

#include <cstdint>
#include <optional>
#include <span>

#include "arguments.hpp"
#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/tree.hpp"
#include "python.hpp"

namespace korvane::python {

struct TreeSettings {
  std::uint64_t min_samples_leaf = 0;
  std::optional<std::uint32_t> max_depth;
  PyObject* max_features = nullptr;  // kept as given until the column count is known
  bool honesty = false;
  double honesty_fraction = 0.5;
  std::uint64_t seed = 0;
};

struct ForestSettings {
  std::uint64_t n_trees = 0;
  TreeSettings tree;
  bool bootstrap = false;
  double subsample_fraction = 1.0;
};

struct TreeDefaults {
  std::uint64_t min_samples_leaf;
  bool honesty;
};

struct ForestDefaults {
  std::uint64_t n_trees;
  TreeDefaults tree;
  bool bootstrap;
  double subsample_fraction;
};

// Keyword settings of the single-tree fit and of both forests, in the order
// of their signatures.
TreeSettings tree_settings(const BoundArguments& arguments, const TreeDefaults& defaults);
ForestSettings forest_settings(const BoundArguments& arguments, const ForestDefaults& defaults);

struct SurvivalArrays {
  PyArrayObject* x;
  PyArrayObject* event_time;
  PyArrayObject* event_indicator;
};

struct GradientArrays {
  PyArrayObject* x;
  PyArrayObject* pseudo_outcome;
};

SurvivalArrays survival_arrays(const BoundArguments& arguments);
GradientArrays gradient_arrays(const BoundArguments& arguments);

struct SurvivalColumns {
  std::span<const double> time;
  std::span<const std::uint8_t> event;
};

// Slice access, lengths and the layout of X.
SurvivalColumns checked_survival_columns(const SurvivalArrays& arrays);
std::span<const double> checked_pseudo_outcome(const GradientArrays& arrays);

// The settings' own checks, then the shape checks of the training matrix that
// the settings depend on; returns the view of X the core reads.
korvane::MatrixView checked_tree_training(PyArrayObject* x, const TreeSettings& settings);
korvane::MatrixView checked_forest_training(PyArrayObject* x, const ForestSettings& settings);

// Split searches and the hazard estimator order rows by these values.
void check_no_nan_times(std::span<const double> time);
void check_no_nan_covariates(const korvane::MatrixView& x);

korvane::TreeParams tree_params(const TreeSettings& settings, std::size_t n_features,
                                korvane::MaxFeatures fallback);
korvane::ForestParams forest_params(const ForestSettings& settings, std::size_t n_features);

}  // namespace korvane::python
