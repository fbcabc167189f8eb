#pragma once

// Conversion and checking of the fit functions' arguments. A fit runs these
// in a fixed order and stops at the first failure: conversions in parameter
// order, slice access of the 1-D arrays, their lengths, the layout of X, the
// forest settings, the honesty fraction, then the checks that need to look at
// the data, and the max_features setting last.

#include <cstdint>
#include <span>

#include "arguments.hpp"
#include "korvane/data.hpp"
#include "korvane/params.hpp"

namespace korvane::python {

// The defaults that differ between the fit functions.
struct TreeDefaults {
  std::uint64_t min_samples_leaf;
  bool honesty;
  korvane::MaxFeatures max_features;  // what None means
};

struct ForestDefaults {
  std::uint64_t n_trees;
  TreeDefaults tree;
  bool bootstrap;
  double subsample_fraction;
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
};

struct GradientInputs {
  korvane::MatrixView x;
  std::span<const double> pseudo_outcome;
  korvane::ForestParams params;
  std::uint64_t seed;
};

LogRankInputs<korvane::TreeParams> checked_tree_inputs(const BoundArguments& arguments,
                                                       const TreeDefaults& defaults);
LogRankInputs<korvane::ForestParams> checked_forest_inputs(const BoundArguments& arguments,
                                                           const ForestDefaults& defaults);
GradientInputs checked_gradient_inputs(const BoundArguments& arguments,
                                       const ForestDefaults& defaults);

}  // namespace korvane::python
