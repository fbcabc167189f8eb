#include "korvane/data.hpp"

#include <cmath>

#include "value_order.hpp"

namespace korvane {

Covariates::Covariates(MatrixView values, const CallControl& control, MissingValues missing)
    : x(values),
      ranks(values.n_rows * values.n_cols),
      missing_values(missing),
      missing_ranks(values.n_cols, kNoMissingRank) {
  const std::size_t n = x.n_rows;
  std::vector<detail::RankedPosition> order;
  detail::OrderScratch scratch;
  for (std::size_t f = 0; f < x.n_cols; ++f) {
    control.check();
    detail::order_by_keys(
        n, [&](std::uint32_t i) { return detail::order_key(x.at(i, f)); }, order, scratch);
    for (const detail::RankedPosition entry : order) {
      ranks[std::size_t{detail::position_of(entry)} * x.n_cols + f] = detail::rank_of(entry);
    }
    // NaN ranks last, so the last value in order tells whether the column has any.
    const bool has_nan = !order.empty() && std::isnan(x.at(detail::position_of(order.back()), f));
    if (missing == MissingValues::kIncorporated && has_nan) {
      missing_ranks[f] = detail::rank_of(order.back());
    }
  }
}

}  // namespace korvane
