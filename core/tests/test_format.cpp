#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "korvane/format.hpp"
#include "korvane/rng.hpp"

namespace korvane {
namespace {

struct FormatCase {
  double value;
  std::string expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.expected; }

class FormatShortest : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatShortest, WritesTheShortestRoundTripDigitsWithoutExponent) {
  EXPECT_EQ(format_shortest(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Magnitudes, FormatShortest,
    testing::Values(
        FormatCase{0.0, "0"}, FormatCase{-0.0, "-0"}, FormatCase{1.0, "1"}, FormatCase{0.5, "0.5"},
        FormatCase{-2.25, "-2.25"}, FormatCase{123.456, "123.456"}, FormatCase{1e-7, "0.0000001"},
        FormatCase{0.1, "0.1"}, FormatCase{1e21, "1000000000000000000000"},
        // Fixed form with the exact binary value would print 99999999999999991611392.
        FormatCase{1e23, "100000000000000000000000"},
        FormatCase{9007199254740993.0, "9007199254740992"},
        FormatCase{std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        FormatCase{std::numeric_limits<double>::denorm_min(), "0." + std::string(323, '0') + "5"},
        FormatCase{std::numeric_limits<double>::min(),
                   "0." + std::string(307, '0') + "22250738585072014"},
        FormatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FormatCase{std::numeric_limits<double>::infinity(), "inf"},
        FormatCase{-std::numeric_limits<double>::infinity(), "-inf"}));

// Every finite double, whatever its magnitude, reads back exactly and is never
// written with an exponent.
TEST(FormatShortest, RandomBitPatternsReadBackExactly) {
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(11);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t bits = stream.next_u64();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    const std::string text = format_shortest(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
}

}  // namespace
}  // namespace korvane
