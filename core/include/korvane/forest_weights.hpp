#pragma once

#include <vector>

#include "korvane/call_control.hpp"
#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/memory.hpp"
#include "korvane/step_function.hpp"

namespace korvane {

// Row-major rows(x) × n_train_samples weights: for query row r and training row
// i, the average over trees of 1 / |leaf| when tree b recorded i in the leaf
// that r reaches (trees whose reached leaf is empty count with weight 0); in a
// weighted forest, of w_i / (the weights of the rows recorded in the leaf).
// Runs on the pool; throws Cancelled, within a block of query rows or a tree,
// once `control` asks to stop, and OutOfMemory before allocating more bytes
// than the process can have.
template <class Payload>
[[nodiscard]] UnfilledDoubles forest_weights(const Forest<Payload>& forest, const MatrixView& x,
                                             const CallControl& control = CallControl{});

// The weights of a single query row: the batch of one.
template <class Payload>
[[nodiscard]] UnfilledDoubles forest_weights(const Forest<Payload>& forest, const VectorView& x,
                                             const CallControl& control = CallControl{});

// Out-of-bag weights of the training rows, row-major n_train_samples ×
// n_train_samples: row i holds the forest weights of x_i computed over only the
// trees that did not draw training row i, averaged over those trees; NaN when
// every tree drew it. `x` holds the training covariates. Runs and stops as
// forest_weights does.
template <class Payload>
[[nodiscard]] UnfilledDoubles oob_forest_weights(const Forest<Payload>& forest, const MatrixView& x,
                                                 const CallControl& control = CallControl{});

extern template UnfilledDoubles forest_weights(const Forest<StepFunction>&, const MatrixView&,
                                               const CallControl&);
extern template UnfilledDoubles forest_weights(const Forest<NoPayload>&, const MatrixView&,
                                               const CallControl&);
extern template UnfilledDoubles forest_weights(const Forest<StepFunction>&, const VectorView&,
                                               const CallControl&);
extern template UnfilledDoubles forest_weights(const Forest<NoPayload>&, const VectorView&,
                                               const CallControl&);
extern template UnfilledDoubles oob_forest_weights(const Forest<StepFunction>&, const MatrixView&,
                                                   const CallControl&);
extern template UnfilledDoubles oob_forest_weights(const Forest<NoPayload>&, const MatrixView&,
                                                   const CallControl&);

}  // namespace korvane
