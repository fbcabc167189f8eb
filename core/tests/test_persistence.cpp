#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "korvane/criteria/gradient.hpp"
#include "korvane/criteria/relabeled.hpp"
#include "korvane/forest.hpp"
#include "korvane/persistence.hpp"
#include "persistence/checksum.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// Values printed by the reference implementation of XXH64 (seed 0); the
// lengths cover the short path, the tail cases and several stripes.
TEST(Checksum, MatchesPublishedXxh64) {
  std::string long_text;
  for (int k = 0; k < 3; ++k) {
    for (int c = 0; c < 256; ++c) long_text.push_back(static_cast<char>(c));
  }
  long_text += "xyz";
  EXPECT_EQ(detail::xxh64(bytes_of("")), 0xEF46DB3751D8E999u);
  EXPECT_EQ(detail::xxh64(bytes_of("a")), 0xD24EC4F1A98C6E5Bu);
  EXPECT_EQ(detail::xxh64(bytes_of("abc")), 0x44BC2CF5AD770999u);
  EXPECT_EQ(detail::xxh64(bytes_of("korvane")), 0x4218BD352DC5FBDCu);
  EXPECT_EQ(detail::xxh64(bytes_of(long_text)), 0xE921A1B45BD779F8u);
}

struct Setting {
  bool bootstrap;
  double fraction;
  std::optional<double> honesty;
  std::optional<std::uint32_t> max_depth;
};

ForestParams params_of(const Setting& setting) {
  ForestParams params;
  params.n_trees = 7;
  params.bootstrap = setting.bootstrap;
  params.subsample_fraction = setting.fraction;
  params.tree.min_samples_leaf = 3;
  params.tree.max_features = MaxFeatures::fixed(2);
  params.tree.honesty = setting.honesty;
  params.tree.max_depth = setting.max_depth;
  return params;
}

// Times with both zeros, so that a reader that merged -0.0 and 0.0 would show.
Dataset signed_zero_times(std::size_t n) {
  Dataset d = Dataset::random(n, 4, 12);
  d.time[0] = -0.0;
  d.time[1] = 0.0;
  d.event[0] = d.event[1] = 1;
  return d;
}

class RoundTrip : public ::testing::TestWithParam<Setting> {};

// A model read back equals the one written, and writes the same bytes again:
// the format has one encoding per model.
template <class Model>
void expect_round_trip(const Model& model) {
  const std::vector<std::uint8_t> bytes = to_bytes(model);
  const Model read = std::get<Model>(from_bytes(bytes));
  EXPECT_EQ(read, model);
  EXPECT_EQ(to_bytes(read), bytes);
  if constexpr (std::is_same_v<Model, Forest<StepFunction>>) {
    EXPECT_TRUE(testing::share_one_table(read));
  }
}

TEST_P(RoundTrip, LogRankForest) {
  const Dataset d = signed_zero_times(90);
  expect_round_trip(
      grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(), params_of(GetParam()), 5));
}

TEST_P(RoundTrip, GradientForest) {
  const Dataset d = Dataset::random(90, 3, 4);
  expect_round_trip(
      grow_forest(d.covariates(), GradientCriterion(d.time), NoLeaves{}, params_of(GetParam()), 9));
}

TEST_P(RoundTrip, Tree) {
  const Dataset d = signed_zero_times(60);
  expect_round_trip(
      fit_tree(d.covariates(), d.log_rank(), d.nelson_aalen(), params_of(GetParam()).tree, 3));
}

INSTANTIATE_TEST_SUITE_P(Settings, RoundTrip,
                         ::testing::Values(Setting{true, 1.0, std::nullopt, std::nullopt},
                                           Setting{false, 0.5, 0.5, std::nullopt},
                                           Setting{true, 0.7, 0.3, 2}));

// A forest grown with a growth rule other than its default keeps it (joins
// and replays compare settings), in the version that first holds such rules;
// any other forest keeps the version it always had.
class GrowthRules : public ::testing::TestWithParam<TreeParams> {};

std::uint32_t version_written(const std::vector<std::uint8_t>& bytes) {
  std::uint32_t version = 0;
  std::memcpy(&version, bytes.data() + 8, sizeof version);
  return version;
}

TEST_P(GrowthRules, RoundTripInTheFirstVersionThatHoldsThem) {
  const Dataset d = signed_zero_times(90);
  ForestParams params = params_of({true, 1.0, 0.5, std::nullopt});
  const TreeParams& rules = GetParam();
  params.tree.min_samples_split = rules.min_samples_split;
  params.tree.max_leaf_nodes = rules.max_leaf_nodes;
  params.tree.min_weight_fraction_leaf = rules.min_weight_fraction_leaf;
  const auto forest = grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(), params, 5);
  expect_round_trip(forest);
  const bool defaults = params.tree.min_samples_split == 2 && !params.tree.max_leaf_nodes &&
                        params.tree.min_weight_fraction_leaf == 0.0;
  EXPECT_EQ(version_written(to_bytes(forest)), defaults ? 2u : 3u);
}

TreeParams rules(std::size_t split, std::optional<std::size_t> leaves, double fraction) {
  TreeParams params;
  params.min_samples_split = split;
  params.max_leaf_nodes = leaves;
  params.min_weight_fraction_leaf = fraction;
  return params;
}

INSTANTIATE_TEST_SUITE_P(Rules, GrowthRules,
                         ::testing::Values(rules(2, std::nullopt, 0.0),
                                           rules(12, std::nullopt, 0.0), rules(2, 5, 0.0),
                                           rules(2, std::nullopt, 0.125), rules(9, 2, 0.5)));

// Little bags are part of the settings: in-bag replays need them.
TEST(Persistence, LittleBagsRoundTrip) {
  const Dataset d = Dataset::random(90, 3, 4);
  ForestParams params = params_of({false, 0.4, 0.5, std::nullopt});
  params.n_trees = 8;
  params.ci_group_size = 4;
  const auto forest = grow_forest(d.covariates(), RelabelingCriterion(RatioRelabeling{d.time, d.x}),
                                  NoLeaves{}, params, 9);
  expect_round_trip(forest);
  const auto read = std::get<Forest<NoPayload>>(from_bytes(to_bytes(forest)));
  EXPECT_EQ(read.params.ci_group_size, 4u);
}

// A tree of no rows is one leaf with an empty curve: no curve times at all.
// It has a column, as every fit's data has.
TEST(Persistence, TreeOfNoRowsRoundTrips) {
  Dataset d = Dataset::from_rows({}, {}, {});
  d.p = 1;
  expect_round_trip(fit_tree(d.covariates(), d.log_rank(), d.nelson_aalen(), TreeParams{}, 1));
}

// The part of a forest grown alone keeps its place in the whole.
TEST(Persistence, ForestPieceKeepsItsTreeRange) {
  const Dataset d = Dataset::random(40, 3, 2);
  auto forest = grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(),
                            params_of({true, 1.0, std::nullopt, std::nullopt}), 1);
  forest.first_tree = 2;
  forest.params.n_trees = 12;
  expect_round_trip(forest);
}

// A one-leaf tree holding `values` at times 1, 2, ...
Tree<StepFunction> one_leaf(std::vector<double> values) {
  std::vector<double> times(values.size());
  for (std::size_t k = 0; k < times.size(); ++k) times[k] = static_cast<double>(k + 1);
  Tree<StepFunction> tree{{node::Leaf{0}}, {}, 0, 1};
  tree.leaves.push_back(testing::on_own_table(StepFunction(std::move(times), std::move(values))));
  return tree;
}

// Values that no Nelson–Aalen step of small counts reproduces are stored as
// they are, next to those that one does.
TEST(Persistence, CurveValuesWithoutSmallCountsRoundTrip) {
  expect_round_trip(one_leaf({0.1, 3.141592653589793, 3.641592653589793, 1e300}));
  expect_round_trip(
      one_leaf({1.0 / 3.0, 1.0 / 3.0 + 1.0 / 2.0, 1.0 / 3.0 + 1.0 / 2.0 + 1.0 / 2000.0}));
}

TEST(Persistence, DecreasingCurveIsRefused) {
  EXPECT_THROW(static_cast<void>(from_bytes(to_bytes(one_leaf({0.5, 0.25})))), FormatError);
}

std::vector<std::uint8_t> small_forest_bytes() {
  const Dataset d = Dataset::random(30, 3, 6);
  ForestParams params = params_of({true, 1.0, std::nullopt, std::nullopt});
  params.n_trees = 2;
  return to_bytes(grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(), params, 3));
}

void expect_format_error(const std::vector<std::uint8_t>& bytes) {
  EXPECT_THROW(static_cast<void>(from_bytes(bytes)), FormatError);
}

TEST(Persistence, EveryTruncationIsAFormatError) {
  const std::vector<std::uint8_t> bytes = small_forest_bytes();
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    expect_format_error({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)});
  }
}

TEST(Persistence, EveryBitFlipIsAFormatError) {
  const std::vector<std::uint8_t> bytes = small_forest_bytes();
  for (std::size_t bit = 0; bit < 8 * bytes.size(); ++bit) {
    std::vector<std::uint8_t> flipped = bytes;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_format_error(flipped);
  }
}

// With the checksum recomputed, corrupted data reaches the structural checks:
// they either refuse it or accept a model that survives its own round trip.
TEST(Persistence, ResealedCorruptionIsRefusedOrReadExactly) {
  const std::vector<std::uint8_t> bytes = small_forest_bytes();
  std::mt19937_64 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> mutated = bytes;
    const std::size_t body = mutated.size() - 8;
    for (int k = 0; k <= round % 3; ++k) {
      mutated[8 + random() % (body - 8)] ^= static_cast<std::uint8_t>(1u << (random() % 8));
    }
    const std::uint64_t sum = detail::xxh64(std::span(mutated).first(body));
    for (int i = 0; i < 8; ++i) mutated[body + i] = static_cast<std::uint8_t>(sum >> (8 * i));
    try {
      const Model model = from_bytes(mutated);
      std::visit(
          [&](const auto& read) {
            using Read = std::remove_cvref_t<decltype(read)>;
            EXPECT_EQ(std::get<Read>(from_bytes(to_bytes(read))), read);
          },
          model);
    } catch (const FormatError&) {
    }
  }
}

}  // namespace
}  // namespace korvane
