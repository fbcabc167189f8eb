#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "korvane/criteria/log_rank.hpp"
#include "korvane/data.hpp"
#include "support.hpp"

namespace korvane {
namespace {

TEST(Ranks, AreDenseAndMergeZeros) {
  const std::vector<double> x{2.5, -0.0, -7.0, 0.0, 2.5, 1e300, -7.0, 3.0};
  const Covariates covariates({x.data(), 4, 2, 1, 4});
  EXPECT_EQ(covariates.ranks, (std::vector<std::uint32_t>{2, 1, 1, 3, 0, 0, 1, 2}));
  EXPECT_EQ(covariates.rank(1, 1), 3u);
  const std::vector<double> time{4.0, 4.0, 1.0, 9.0};
  const std::vector<std::uint8_t> event(4, 1);
  const LogRankCriterion criterion(time, event);
  EXPECT_EQ(
      std::vector<std::uint32_t>(criterion.time_ranks().begin(), criterion.time_ranks().end()),
      (std::vector<std::uint32_t>{1, 1, 0, 2}));
}

// Nodes sort ranks instead of values, so ranks must order any two rows exactly
// as `<` orders their values (continuous values, ties, both zeros, any layout).
class RanksOrderLikeValues : public ::testing::TestWithParam<bool> {};

TEST_P(RanksOrderLikeValues, ForEveryPairOfRows) {
  const bool row_major = GetParam();
  constexpr std::size_t n = 300;
  constexpr std::size_t p = 3;
  std::mt19937 gen(9);
  std::vector<double> values(n * p);
  for (double& v : values) {
    v = gen() % 6 == 0 ? (gen() % 2 == 0 ? -0.0 : 0.0)
                       : std::ldexp(static_cast<double>(gen() % 201) - 100.0, -7);
  }
  const MatrixView x = row_major
                           ? MatrixView{values.data(), n, p, p, 1}
                           : MatrixView{values.data(), n, p, 1, static_cast<std::ptrdiff_t>(n)};
  const Covariates covariates(x);
  for (std::size_t f = 0; f < p; ++f) {
    std::uint32_t highest = 0;
    for (std::size_t i = 0; i < n; ++i) {
      highest = std::max(highest, covariates.rank(i, f));
      for (std::size_t j = 0; j < n; ++j) {
        ASSERT_EQ(covariates.rank(i, f) < covariates.rank(j, f), x.at(i, f) < x.at(j, f));
      }
    }
    // Dense: every rank below the highest is taken.
    std::vector<bool> taken(highest + 1, false);
    for (std::size_t i = 0; i < n; ++i) taken[covariates.rank(i, f)] = true;
    EXPECT_EQ(std::count(taken.begin(), taken.end(), false), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, RanksOrderLikeValues, ::testing::Values(false, true));

}  // namespace
}  // namespace korvane
