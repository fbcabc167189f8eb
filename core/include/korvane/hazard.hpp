#pragma once

#include <span>
#include <vector>

#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/step_function.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// Adds the tree's cumulative hazard of every row of x at every time to the
// row-major rows(x) × times.size() matrix `out`.
void add_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                           std::span<const double> times, std::span<double> out);

// The tree's cumulative hazard, row-major rows(x) × times.size().
[[nodiscard]] std::vector<double> predict_cumulative_hazard(const Tree<StepFunction>& tree,
                                                            const MatrixView& x,
                                                            std::span<const double> times);

// Tree-averaged cumulative hazard, row-major rows(x) × times.size(): summed in
// tree order, then divided once by the number of trees.
[[nodiscard]] std::vector<double> predict_cumulative_hazard(const Forest<StepFunction>& forest,
                                                            const MatrixView& x,
                                                            std::span<const double> times);

}  // namespace korvane
