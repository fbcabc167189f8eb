#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "korvane/criteria/gradient.hpp"
#include "korvane/criteria/relabeled.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;

// Per-row columns of a random effect problem: outcome/numerator `a`,
// treatment/denominator `b`, and positive weights.
struct Columns {
  std::vector<double> a;
  std::vector<double> b;
  std::vector<double> weight;

  static Columns random(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Columns c;
    for (std::size_t i = 0; i < n; ++i) {
      c.b.push_back(unit(gen) < 0.4 ? 1.0 - unit(gen) * 0.1 : unit(gen) * 0.3);
      c.a.push_back(2.0 * c.b.back() + unit(gen));
      c.weight.push_back(0.25 + unit(gen));
    }
    return c;
  }
};

// The labels as the model defines them, computed term by term over `rows`
// with weights v (1 when empty).
std::vector<double> direct_causal_labels(const Columns& c, const std::vector<std::uint32_t>& rows,
                                         const std::vector<double>& v) {
  const auto weight = [&](std::uint32_t row) { return v.empty() ? 1.0 : v[row]; };
  double sv = 0, sw = 0, sy = 0;
  for (const auto row : rows) {
    sv += weight(row);
    sw += weight(row) * c.b[row];
    sy += weight(row) * c.a[row];
  }
  const double w_bar = sw / sv, y_bar = sy / sv;
  double num = 0, den = 0;
  for (const auto row : rows) {
    num += weight(row) * (c.b[row] - w_bar) * (c.a[row] - y_bar);
    den += weight(row) * (c.b[row] - w_bar) * (c.b[row] - w_bar);
  }
  const double tau = num / den;
  std::vector<double> labels;
  for (const auto row : rows) {
    const double dw = c.b[row] - w_bar;
    labels.push_back(dw * ((c.a[row] - y_bar) - dw * tau) / (den / sv));
  }
  return labels;
}

std::vector<double> direct_ratio_labels(const Columns& c, const std::vector<std::uint32_t>& rows,
                                        const std::vector<double>& v) {
  const auto weight = [&](std::uint32_t row) { return v.empty() ? 1.0 : v[row]; };
  double sv = 0, num = 0, den = 0;
  for (const auto row : rows) {
    sv += weight(row);
    num += weight(row) * c.a[row];
    den += weight(row) * c.b[row];
  }
  std::vector<double> labels;
  for (const auto row : rows) labels.push_back((c.a[row] - num / den * c.b[row]) / (den / sv));
  return labels;
}

// Rows of a node with repeats, as a bootstrap draw has them.
std::vector<std::uint32_t> node_rows() { return {3, 0, 7, 7, 12, 5, 1, 9, 3, 14, 2, 8}; }

class Relabel : public ::testing::TestWithParam<bool> {
 protected:
  const Columns c = Columns::random(16, 5);
  std::vector<double> weights() const { return GetParam() ? c.weight : std::vector<double>{}; }

  template <class R>
  std::vector<double> labels(const R& relabeling) const {
    const std::vector<std::uint32_t> rows = node_rows();
    std::vector<double> out(rows.size());
    const std::vector<double> v = weights();
    EXPECT_TRUE(relabeling.relabel(rows, v, out));
    return out;
  }
};

TEST_P(Relabel, CausalLabelsMatchTheMomentGradient) {
  const auto got = labels(CausalRelabeling{c.a, c.b});
  const auto want = direct_causal_labels(c, node_rows(), weights());
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-12) << k;
}

TEST_P(Relabel, RatioLabelsMatchTheEstimatingEquation) {
  const auto got = labels(RatioRelabeling{c.a, c.b});
  const auto want = direct_ratio_labels(c, node_rows(), weights());
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-12) << k;
}

// The labels of a node are a gradient at the node's own solution: their
// weighted sum vanishes.
TEST_P(Relabel, LabelsSumToZeroAtTheNodeEstimate) {
  const std::vector<std::uint32_t> rows = node_rows();
  const std::vector<double> v = weights();
  for (const auto& got : {labels(CausalRelabeling{c.a, c.b}), labels(RatioRelabeling{c.a, c.b})}) {
    double sum = 0;
    for (std::size_t k = 0; k < rows.size(); ++k) sum += (v.empty() ? 1.0 : v[rows[k]]) * got[k];
    EXPECT_NEAR(sum, 0.0, 1e-10);
  }
}

INSTANTIATE_TEST_SUITE_P(Weighting, Relabel, ::testing::Bool());

// A node whose estimate does not exist cannot split.
struct Degenerate {
  const char* name;
  std::vector<double> a;
  std::vector<double> b;
  bool causal;
};

class DegenerateNode : public ::testing::TestWithParam<Degenerate> {};

TEST_P(DegenerateNode, IsALeaf) {
  const Dataset d = Dataset::from_rows({{0}, {1}, {2}, {3}, {4}, {5}}, {}, {});
  const std::vector<std::uint32_t> features{0};
  const auto& p = GetParam();
  const auto split = p.causal ? RelabelingCriterion(CausalRelabeling{p.a, p.b})
                                    .find_best_split(d.covariates(), all_rows(6), features, 1)
                              : RelabelingCriterion(RatioRelabeling{p.a, p.b})
                                    .find_best_split(d.covariates(), all_rows(6), features, 1);
  EXPECT_FALSE(split.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DegenerateNode,
    ::testing::Values(
        // 0.1 six times has a mean that is not 0.1 exactly: the denominator is
        // rounding noise, not 0.
        Degenerate{"constant_treatment", {1, 2, 3, 4, 5, 6}, {0.1, 0.1, 0.1, 0.1, 0.1, 0.1}, true},
        Degenerate{"denominators_cancel", {1, 2, 3, 4, 5, 6}, {1, -1, 2, -2, 0.5, -0.5}, false},
        Degenerate{"zero_denominators", {1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 0, 0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct SplitData {
  Dataset d = Dataset::random(60, 3, 8);
  Columns c = Columns::random(60, 9);
  std::vector<std::uint32_t> features{0, 1, 2};
};

template <class R>
std::optional<BestSplit> split_of(const SplitData& s, R relabeling,
                                  const std::vector<std::uint32_t>& rows,
                                  std::span<const double> weight = {}) {
  return RelabelingCriterion(relabeling, weight)
      .find_best_split(s.d.covariates(), rows, s.features, 3);
}

// Weights of 1 take the weighted path, which must give the unweighted bits.
TEST(RelabelingCriterion, UnitWeightsEqualNoWeightsBitForBit) {
  const SplitData s;
  const std::vector<double> ones(60, 1.0);
  for (const bool causal : {true, false}) {
    const auto unweighted = causal ? split_of(s, CausalRelabeling{s.c.a, s.c.b}, all_rows(60))
                                   : split_of(s, RatioRelabeling{s.c.a, s.c.b}, all_rows(60));
    const auto weighted = causal ? split_of(s, CausalRelabeling{s.c.a, s.c.b}, all_rows(60), ones)
                                 : split_of(s, RatioRelabeling{s.c.a, s.c.b}, all_rows(60), ones);
    ASSERT_TRUE(unweighted);
    EXPECT_EQ(weighted, unweighted);
  }
}

// A weight of 2 counts a row twice: the same split as the row drawn twice.
TEST(RelabelingCriterion, WeightTwoEqualsARepeatedRow) {
  const SplitData s;
  std::vector<double> weight(60, 1.0);
  std::vector<std::uint32_t> repeated = all_rows(60);
  for (const std::uint32_t row : {4u, 17u, 33u}) {
    weight[row] = 2.0;
    repeated.push_back(row);
  }
  const auto once = split_of(s, CausalRelabeling{s.c.a, s.c.b}, all_rows(60), weight);
  const auto twice = split_of(s, CausalRelabeling{s.c.a, s.c.b}, repeated);
  ASSERT_TRUE(once && twice);
  EXPECT_EQ(once->feature, twice->feature);
  EXPECT_EQ(once->threshold, twice->threshold);
  EXPECT_NEAR(once->score, twice->score, 1e-12 * twice->score);
}

// With unit denominators the ratio labels are the numerator less the node
// mean, and a variance split does not see a shift.
TEST(RelabelingCriterion, RatioWithUnitDenominatorsSplitsAsTheGradientCriterion) {
  const SplitData s;
  const std::vector<double> ones(60, 1.0);
  const auto ratio = split_of(s, RatioRelabeling{s.c.a, ones}, all_rows(60));
  const auto gradient =
      GradientCriterion(s.c.a).find_best_split(s.d.covariates(), all_rows(60), s.features, 3);
  ASSERT_TRUE(ratio && gradient);
  EXPECT_EQ(ratio->feature, gradient->feature);
  EXPECT_EQ(ratio->threshold, gradient->threshold);
  EXPECT_NEAR(ratio->score, gradient->score, 1e-12 * gradient->score);
}

// Rows of weight 0 weigh nothing: a side holding only such rows is no side.
TEST(RelabelingCriterion, ASideOfZeroWeightsIsNotASplit) {
  const Dataset d = Dataset::from_rows({{0}, {1}, {2}, {3}}, {}, {});
  const std::vector<double> num{5, 1, 2, 3};
  const std::vector<double> den(4, 1.0);
  const std::vector<double> weight{0, 1, 1, 1};
  const std::vector<std::uint32_t> features{0};
  const auto split = RelabelingCriterion(RatioRelabeling{num, den}, weight)
                         .find_best_split(d.covariates(), all_rows(4), features, 1);
  ASSERT_TRUE(split);
  EXPECT_NE(split->threshold, 0.5);
}

// A child of fewer rows than the node's share is no split, however much
// variance it would remove.
TEST(RelabelingCriterion, ChildrenHoldTheirShareOfTheNode) {
  std::vector<std::vector<double>> values;
  std::vector<double> num;
  for (int i = 0; i < 40; ++i) {
    values.push_back({static_cast<double>(i)});
    num.push_back(i < 2 ? 100.0 : (i % 2 == 0 ? 1.0 : 0.0));
  }
  const Dataset d = Dataset::from_rows(values, {}, {});
  const std::vector<double> den(40, 1.0);
  const std::vector<std::uint32_t> features{0};
  const auto free = RelabelingCriterion(RatioRelabeling{num, den}, {}, 0.0)
                        .find_best_split(d.covariates(), all_rows(40), features, 1);
  const auto balanced = RelabelingCriterion(RatioRelabeling{num, den}, {}, 0.1)
                            .find_best_split(d.covariates(), all_rows(40), features, 1);
  ASSERT_TRUE(free && balanced);
  EXPECT_EQ(free->threshold, 1.5);
  EXPECT_GE(balanced->threshold, 3.5);
  EXPECT_LE(balanced->threshold, 35.5);
}

// Treated and control rows alternate along x, and the effect jumps in the
// first four rows: the free split (min_samples_leaf 1) cuts off a child with a
// single control row.
class SideFloorTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  static constexpr std::size_t kRows = 40;
  std::vector<double> outcome;
  std::vector<double> treatment;
  Dataset d = along_x();

  static Dataset along_x() {
    std::vector<std::vector<double>> values;
    for (std::size_t i = 0; i < kRows; ++i) values.push_back({static_cast<double>(i)});
    return Dataset::from_rows(values, {}, {});
  }

  SideFloorTest() {
    for (std::size_t i = 0; i < kRows; ++i) {
      treatment.push_back(i % 2 == 0 ? 1.0 : 0.0);
      outcome.push_back(treatment.back() * (i < 4 ? 50.0 : 1.0) +
                        0.01 * static_cast<double>(i % 7));
    }
  }

  std::optional<BestSplit> split(std::size_t min_per_side) const {
    const std::vector<std::uint32_t> features{0};
    return RelabelingCriterion(CausalRelabeling{outcome, treatment}, {}, 0.0,
                               SideFloor{treatment, min_per_side})
        .find_best_split(d.covariates(), all_rows(kRows), features, 1);
  }

  // The fewest rows of one side of the treatment's mean in either child.
  std::size_t least_side(const BestSplit& best) const {
    std::size_t counts[2][2] = {{0, 0}, {0, 0}};
    for (std::size_t i = 0; i < kRows; ++i) {
      ++counts[static_cast<double>(i) < best.threshold ? 0 : 1][treatment[i] > 0.5 ? 1 : 0];
    }
    return std::min({counts[0][0], counts[0][1], counts[1][0], counts[1][1]});
  }
};

// Each child holds the floor's rows on both sides; a floor the free split
// already meets leaves it alone, and one the node cannot meet makes a leaf.
TEST_P(SideFloorTest, ChildrenHoldRowsOnBothSidesOfTheNodeMean) {
  const std::size_t floor = GetParam();
  const auto free = split(0);
  const auto floored = split(floor);
  ASSERT_TRUE(free);
  ASSERT_EQ(least_side(*free), 1u);
  if (2 * floor > kRows / 2) {
    EXPECT_FALSE(floored);
    return;
  }
  ASSERT_TRUE(floored);
  EXPECT_GE(least_side(*floored), floor);
  if (floor == 1) {
    EXPECT_EQ(floored, free);
  } else {
    EXPECT_NE(floored->threshold, free->threshold);
  }
}

INSTANTIATE_TEST_SUITE_P(Floors, SideFloorTest, ::testing::Values(1, 2, 3, 5, 10, 11));

}  // namespace
}  // namespace korvane
