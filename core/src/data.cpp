#include "korvane/data.hpp"

#include "value_order.hpp"

namespace korvane {

Covariates::Covariates(MatrixView values, const CallControl& control)
    : x(values), ranks(values.n_rows * values.n_cols) {
  const std::size_t n = x.n_rows;
  std::vector<detail::RankedPosition> order;
  detail::OrderScratch scratch;
  for (std::size_t f = 0; f < x.n_cols; ++f) {
    control.check();
    detail::rank_values(
        n, [&](std::size_t i) { return x.at(i, f); }, std::span(ranks).subspan(f * n, n), order,
        scratch);
  }
}

}  // namespace korvane
