#pragma once

#include <vector>

#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/step_function.hpp"

namespace korvane {

// Row-major rows(x) × n_train_samples weights: for query row r and training row
// i, the average over trees of 1 / |leaf| when tree b recorded i in the leaf
// that r reaches (trees whose reached leaf is empty count with weight 0).
template <class Payload>
[[nodiscard]] std::vector<double> forest_weights(const Forest<Payload>& forest,
                                                 const MatrixView& x);

// The weights of a single query row: the batch of one.
template <class Payload>
[[nodiscard]] std::vector<double> forest_weights(const Forest<Payload>& forest,
                                                 const VectorView& x);

extern template std::vector<double> forest_weights(const Forest<StepFunction>&, const MatrixView&);
extern template std::vector<double> forest_weights(const Forest<NoPayload>&, const MatrixView&);
extern template std::vector<double> forest_weights(const Forest<StepFunction>&, const VectorView&);
extern template std::vector<double> forest_weights(const Forest<NoPayload>&, const VectorView&);

}  // namespace korvane
