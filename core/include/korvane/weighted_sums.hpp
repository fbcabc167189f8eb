#pragma once

#include <vector>

#include "korvane/call_control.hpp"
#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/leaf_estimates.hpp"

namespace korvane {

// Forest-weighted sums of per-training-row values without the weight matrix.
// `values` holds n_train_samples rows of k columns. For a query row and a tree,
// the tree's term is the mean of `values` over the training rows recorded in
// the leaf the query reaches (0 for an empty leaf); summing a tree's terms in
// tree order and dividing once gives forest_weights(x) · values up to rounding.
// Each query row costs one descent per tree, whatever n_train_samples is. All
// run on the pool; they throw Cancelled once `control` asks to stop, and
// OutOfMemory before allocating more than the process can have.

// Row-major rows(x) × k: the terms of all trees, divided by the number of
// trees.
[[nodiscard]] std::vector<double> weighted_sums(const Forest<NoPayload>& forest,
                                                const MatrixView& x, const MatrixView& values,
                                                const CallControl& control = CallControl{});

// Row-major n_train_samples × k: row i sums the terms of the trees that did
// not draw training row i and divides by their count; NaN when every tree drew
// it. `x` holds the training covariates.
[[nodiscard]] std::vector<double> oob_weighted_sums(const Forest<NoPayload>& forest,
                                                    const MatrixView& x, const MatrixView& values,
                                                    const CallControl& control = CallControl{});

// Row-major rows(x) × n_trees × k: each tree's term on its own, as the
// spread between trees and between groups of trees (little bags) needs them.
[[nodiscard]] std::vector<double> tree_weighted_sums(const Forest<NoPayload>& forest,
                                                     const MatrixView& x, const MatrixView& values,
                                                     const CallControl& control = CallControl{});

}  // namespace korvane
