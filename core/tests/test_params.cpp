#include <gtest/gtest.h>

#include "korvane/params.hpp"
#include "support.hpp"

namespace korvane {
namespace {

TEST(MaxFeatures, ResolvesIntoOneToP) {
  EXPECT_EQ(MaxFeatures::sqrt().resolve(1), 1u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(3), 1u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(9), 3u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(10), 3u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(24), 4u);
  EXPECT_EQ(MaxFeatures::all().resolve(7), 7u);
  EXPECT_EQ(MaxFeatures::fixed(0).resolve(7), 1u);
  EXPECT_EQ(MaxFeatures::fixed(9).resolve(7), 7u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(0), 0u);
}

}  // namespace
}  // namespace korvane
