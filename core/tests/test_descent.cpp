#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "descent.hpp"
#include "support.hpp"

namespace korvane::detail {
namespace {

using testing::Dataset;
using testing::forest_params;

// Rows stepping together, the rows left over stepping alone, and NaN going
// the way each split recorded: every row reaches the leaf predict_leaf gives,
// whichever row the block starts at.
TEST(Descent, ReachesTheLeavesPredictLeafReaches) {
  Dataset d = Dataset::random(120, 3, 31);
  std::mt19937 gen(32);
  for (double& v : d.x) v = gen() % 8 == 0 ? std::nan("") : v;
  const Covariates covariates(d.column_major(), CallControl{}, MissingValues::kIncorporated);
  const auto forest =
      grow_forest(covariates, d.log_rank(), d.nelson_aalen(), forest_params(6, true, 1.0), 33);
  const MatrixView x = d.column_major();
  for (const auto& tree : forest.trees) {
    const Descent descent(tree);
    for (const std::size_t count : {0, 1, 7, 8, 9, 17, 100}) {
      std::vector<std::uint32_t> leaves(count);
      descent.leaves(x, 5, leaves);
      for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(leaves[i], tree.predict_leaf(x, 5 + i));
    }
  }
}

}  // namespace
}  // namespace korvane::detail
