#pragma once

#include <span>
#include <vector>

#include "korvane/call_control.hpp"
#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/step_function.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// Adds the tree's cumulative hazard of every row of x at every time to the
// row-major rows(x) × times.size() matrix `out`.
void add_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                           std::span<const double> times, std::span<double> out);

// The predictions below run on the pool in blocks of query rows, and throw
// Cancelled before the next block once `control` asks to stop, or OutOfMemory
// before allocating an output of more bytes than the process can have.

// The tree's cumulative hazard, row-major rows(x) × times.size().
[[nodiscard]] std::vector<double> predict_cumulative_hazard(
    const Tree<StepFunction>& tree, const MatrixView& x, std::span<const double> times,
    const CallControl& control = CallControl{});

// Tree-averaged cumulative hazard, row-major rows(x) × times.size(): summed in
// tree order, then divided once by the number of trees.
[[nodiscard]] std::vector<double> predict_cumulative_hazard(
    const Forest<StepFunction>& forest, const MatrixView& x, std::span<const double> times,
    const CallControl& control = CallControl{});

// The out-of-bag cumulative hazard of the training rows, row-major
// n_train_samples × times.size(): row i averages the trees that did not draw
// row i (summed in tree order, divided once by their count); NaN when every
// tree drew it. `x` holds the training covariates, one row per training row.
[[nodiscard]] std::vector<double> oob_cumulative_hazard(const Forest<StepFunction>& forest,
                                                        const MatrixView& x,
                                                        std::span<const double> times,
                                                        const CallControl& control = CallControl{});

}  // namespace korvane
