#pragma once

#include <cstddef>
#include <limits>

namespace korvane::detail {

constexpr double kUnitRoundoff = 0x1p-53;

// An interval that certainly holds a candidate's exact score.
struct ScoreBounds {
  double lower;
  double upper;
};

// An interval holding the score u²/v of a candidate whose U and V are known up to
// u_error and v_error; unbounded above when V cannot be told apart from 0.
[[gnu::always_inline]] inline ScoreBounds score_interval(double magnitude_low,
                                                         double magnitude_high, double v,
                                                         double u_error, double v_error) {
  if (!(v - v_error > 0.0)) return {0.0, std::numeric_limits<double>::infinity()};
  const double high = magnitude_high + u_error;
  const double low = magnitude_low > u_error ? magnitude_low - u_error : 0.0;
  return {low * low / (v + v_error) * (1.0 - 16.0 * kUnitRoundoff),
          high * high / (v - v_error) * (1.0 + 16.0 * kUnitRoundoff)};
}

// score_interval, or an empty interval ({-inf, -inf}) when the score is
// certainly below `floor`, told without a division. The many candidates that
// cannot beat the best lower bound so far then cost two products instead of
// two divisions. The test holds whatever the roundings: with h = high² and d
// = v - v_error as computed, fl(h (1 + 32u)) < fl(fl(floor d) (1 - 4u)) gives
// h / d (1 + 16u), and so the upper bound above with its own roundings, below
// floor by a factor 1 - 13u; a product in the subnormal range (whose error is
// not relative) never rules a candidate out.
[[gnu::always_inline]] inline ScoreBounds score_interval_above(double magnitude_low,
                                                               double magnitude_high, double v,
                                                               double u_error, double v_error,
                                                               double floor) {
  const double high = magnitude_high + u_error;
  const double ceiling = floor * (v - v_error) * (1.0 - 4.0 * kUnitRoundoff);
  if (v - v_error > 0.0 && ceiling >= std::numeric_limits<double>::min() &&
      high * high * (1.0 + 32.0 * kUnitRoundoff) < ceiling) {
    return {-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  }
  return score_interval(magnitude_low, magnitude_high, v, u_error, v_error);
}

// A generous bound on how far the exact pass's U and V, each a sum over K event
// groups in ascending time order, may lie from their true values, relative to
// the sum of the magnitudes of their terms.
[[nodiscard]] inline double exact_pass_slack(std::size_t event_groups) {
  return 64.0 * (static_cast<double>(event_groups) + 8.0) * kUnitRoundoff;
}

}  // namespace korvane::detail
