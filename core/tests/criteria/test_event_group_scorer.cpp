#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>
#include <random>

#include "criteria/event_group_scorer.hpp"
#include "criteria/log_rank_reference.hpp"
#include "support.hpp"
#include "vector_unit_params.hpp"

namespace korvane::detail {
namespace {

using testing::all_rows;
using testing::Dataset;

// The bits of everything the three kinds of pass return for one sequence of
// moves and candidates, plus the left marks of every candidate.
struct PassResults {
  std::vector<std::uint64_t> bits;
  std::vector<double> exact;
  std::vector<std::vector<std::uint8_t>> marks;
};

template <class Unit>
PassResults run_passes(const SortedNode& node) {
  const std::size_t n = node.sorted_rows.size();
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::mt19937 gen(7);
  std::shuffle(order.begin(), order.end(), gen);
  EventGroupScorer scorer(node);
  std::vector<std::uint32_t> buckets;
  node.position_buckets(buckets);
  PassResults out;
  const auto keep = [&](double value) { out.bits.push_back(std::bit_cast<std::uint64_t>(value)); };
  for (int pass = 0; pass < 3; ++pass) {
    const auto flush = [&] {
      const std::size_t count = scorer.candidates();
      if (pass == 0) {
        const auto& scores = scorer.scores<Unit>();
        for (std::size_t j = 0; j < count; ++j) {
          keep(scores[j]);
          out.exact.push_back(scores[j]);
        }
      } else if (pass == 1) {
        const auto& bounds = scorer.bounds<Unit>();
        for (std::size_t j = 0; j < count; ++j) {
          keep(bounds[j].lower);
          keep(bounds[j].upper);
        }
      } else {
        const auto& bounds = scorer.block_bounds<Unit>();
        for (std::size_t j = 0; j < count / 2; ++j) {
          keep(bounds[j].lower);
          keep(bounds[j].upper);
        }
      }
    };
    scorer.clear();
    std::vector<std::uint8_t> marks(n, 0);
    std::size_t moved = 0;
    while (moved + 5 < n) {
      const std::size_t step = 1 + (moved * 7) % 5;
      for (std::size_t i = 0; i < step; ++i) {
        scorer.move_left(buckets[order[moved]], node.sorted_events[order[moved]] != 0);
        marks[order[moved++]] = 1;
      }
      if (pass == 0) out.marks.push_back(marks);
      if (scorer.add_candidate(moved)) flush();
    }
    if (scorer.candidates() > 0) flush();
  }
  return out;
}

SortedNode tied_node() {
  Dataset d = Dataset::random(300, 1, 21);
  for (std::size_t i = 0; i < d.n; ++i) d.time[i] = static_cast<double>((i * 37) % 101);
  return SortedNode::of(d.log_rank(), all_rows(d.n));
}

// The baseline's exact scores equal the reference evaluation.
TEST(EventGroupScorer, BaselineScoresAreTheReference) {
  const SortedNode node = tied_node();
  const PassResults baseline = run_passes<vector_units::Baseline>(node);
  ASSERT_EQ(baseline.exact.size(), baseline.marks.size());
  for (std::size_t c = 0; c < baseline.exact.size(); ++c) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(baseline.exact[c]),
              std::bit_cast<std::uint64_t>(testing::log_rank_score(node, baseline.marks[c])))
        << c;
  }
}

// Every vector unit this processor has gives the baseline's bits in every pass.
template <class Unit>
class EveryVectorUnit : public ::testing::Test {};
TYPED_TEST_SUITE(EveryVectorUnit, testing::VectorUnitTypes, testing::VectorUnitTypeName);

TYPED_TEST(EveryVectorUnit, GivesTheBaselineBits) {
  if (!TypeParam::available()) GTEST_SKIP() << "this processor lacks " << TypeParam::kName;
  const SortedNode node = tied_node();
  EXPECT_EQ(run_passes<TypeParam>(node).bits, run_passes<vector_units::Baseline>(node).bits);
}

}  // namespace
}  // namespace korvane::detail
