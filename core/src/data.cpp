#include "korvane/data.hpp"

#include <string>

#include "korvane/error.hpp"
#include "value_order.hpp"

namespace korvane {

SurvivalData::SurvivalData(MatrixView x, std::span<const double> time,
                           std::span<const std::uint8_t> event)
    : x(x), time(time), event(event) {
  if (x.n_rows != time.size()) {
    fail("x has " + std::to_string(x.n_rows) + " rows but y has " + std::to_string(time.size()) +
         " elements");
  }
}

SurvivalData SurvivalData::with_ranks(const ValueRanks& value_ranks) const {
  SurvivalData ranked = *this;
  ranked.ranks = &value_ranks;
  return ranked;
}

namespace {

// Writes the dense rank of value(i) for i in [0, n) to rank[i].
template <class ValueOf>
void rank_values(std::size_t n, ValueOf&& value_of, std::span<std::uint32_t> rank,
                 std::vector<detail::RankedPosition>& order, detail::OrderScratch& scratch) {
  detail::order_by_keys(n, [&](std::uint32_t i) { return detail::order_key(value_of(i)); }, order,
                        scratch);
  for (const detail::RankedPosition entry : order) {
    rank[detail::position_of(entry)] = detail::rank_of(entry);
  }
}

}  // namespace

ValueRanks ValueRanks::of(const SurvivalData& data) {
  const std::size_t n = data.n_samples();
  ValueRanks ranks;
  ranks.n_rows = n;
  ranks.x.resize(n * data.n_features());
  ranks.time.resize(n);
  std::vector<detail::RankedPosition> order;
  detail::OrderScratch scratch;
  for (std::size_t f = 0; f < data.n_features(); ++f) {
    rank_values(n, [&](std::size_t i) { return data.x.at(i, f); },
                std::span(ranks.x).subspan(f * n, n), order, scratch);
  }
  rank_values(n, [&](std::size_t i) { return data.time[i]; }, ranks.time, order, scratch);
  return ranks;
}

}  // namespace korvane
