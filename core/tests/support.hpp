#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "korvane/builder.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/step_function.hpp"

namespace korvane::testing {

inline nlohmann::json load_json(const std::string& name) {
  std::ifstream file(std::string(KORVANE_TEST_DATA) + "/" + name);
  return nlohmann::json::parse(file);
}

// Rows 0 to n - 1 in order.
inline std::vector<std::uint32_t> all_rows(std::size_t n) {
  std::vector<std::uint32_t> rows(n);
  std::iota(rows.begin(), rows.end(), 0u);
  return rows;
}

// A curve with its jump times read from its table.
inline StepFunction with_times(const StepCurve& curve) {
  std::vector<double> times(curve.size());
  for (std::size_t k = 0; k < times.size(); ++k) times[k] = curve.time(k);
  return {std::move(times), std::vector<double>(curve.values.begin(), curve.values.end())};
}

inline StepFunction with_times(const LeafCurve& curve) {
  return with_times(StepCurve{curve.time_index, curve.values, *curve.table});
}

// The curve as a leaf estimate would emit it on `table`, which holds its times.
inline LeafCurve on_table(const StepFunction& curve, const TimeTable& table) {
  LeafCurve tabled{table, {}, curve.values};
  for (const double t : curve.times) {
    const auto at = std::lower_bound(table->begin(), table->end(), t);
    tabled.time_index.push_back(static_cast<std::uint32_t>(at - table->begin()));
  }
  return tabled;
}

// The curve on a table of its own times.
inline LeafCurve on_own_table(const StepFunction& curve) {
  return on_table(curve, std::make_shared<const std::vector<double>>(curve.times));
}

// Whether the trees' curves all index one table, as a forest's should (a
// table per tree would cost the memory indexing saves).
inline bool share_one_table(const Forest<StepFunction>& forest) {
  return std::all_of(forest.trees.begin(), forest.trees.end(), [&](const Tree<StepFunction>& tree) {
    return tree.leaves.table == forest.trees.front().leaves.table;
  });
}

// Owns column-major covariates plus times and indicators, and views them.
struct Dataset {
  std::size_t n = 0;
  std::size_t p = 0;
  std::vector<double> x;  // column-major
  std::vector<double> time;
  std::vector<std::uint8_t> event;

  static Dataset from_rows(const std::vector<std::vector<double>>& rows, std::vector<double> time,
                           std::vector<std::uint8_t> event) {
    Dataset d{
        rows.size(), rows.empty() ? 0 : rows[0].size(), {}, std::move(time), std::move(event)};
    d.x.resize(d.n * d.p);
    for (std::size_t r = 0; r < d.n; ++r)
      for (std::size_t f = 0; f < d.p; ++f) d.x[f * d.n + r] = rows[r][f];
    return d;
  }

  // Random data with ties in times and covariates and about a third censored.
  static Dataset random(std::size_t n, std::size_t p, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Dataset d{n, p, std::vector<double>(n * p), std::vector<double>(n),
              std::vector<std::uint8_t>(n)};
    for (double& v : d.x) v = static_cast<double>(gen() % 7);
    for (std::size_t i = 0; i < n; ++i) {
      d.time[i] = static_cast<double>(1 + gen() % 12) + d.x[i] * 0.5;
      d.event[i] = static_cast<std::uint8_t>(gen() % 3 == 0 ? 0 : 1);
    }
    return d;
  }

  // One feature with values 0 to 3, event times 1 to 4.
  static Dataset four_events() {
    return from_rows({{0}, {1}, {2}, {3}}, {1, 2, 3, 4}, {1, 1, 1, 1});
  }

  [[nodiscard]] MatrixView column_major() const {
    return {x.data(), n, p, 1, static_cast<std::ptrdiff_t>(n)};
  }
  [[nodiscard]] Covariates covariates() const { return Covariates(column_major()); }
  [[nodiscard]] LogRankCriterion log_rank() const { return {time, event}; }
  [[nodiscard]] NelsonAalenLeaves nelson_aalen() const { return {time, event}; }
};

// A tree's record at 32 bits, NO_LEAF where it recorded no leaf.
inline std::vector<std::uint32_t> widened(const RecordedLeaves& recorded) {
  return recorded.visit([](auto codes, auto not_recorded) {
    std::vector<std::uint32_t> leaves(codes.begin(), codes.end());
    std::replace(leaves.begin(), leaves.end(), std::uint32_t{not_recorded}, NO_LEAF);
    return leaves;
  });
}

// Tree settings with every other setting at its default.
inline TreeParams params_with(std::size_t min_samples_leaf,
                              MaxFeatures max_features = MaxFeatures::all()) {
  TreeParams params;
  params.min_samples_leaf = min_samples_leaf;
  params.max_features = max_features;
  return params;
}

// Forest settings with small leaves and sqrt(p) candidate features.
inline ForestParams forest_params(std::size_t n_trees, bool bootstrap, double fraction,
                                  std::optional<double> honesty = std::nullopt) {
  ForestParams params;
  params.n_trees = n_trees;
  params.bootstrap = bootstrap;
  params.subsample_fraction = fraction;
  params.tree.min_samples_leaf = 3;
  params.tree.max_features = MaxFeatures::sqrt();
  params.tree.honesty = honesty;
  return params;
}

// A log-rank tree with Nelson–Aalen leaves on all rows of `d`.
inline Tree<StepFunction> log_rank_tree(const Dataset& d, const TreeParams& params,
                                        std::uint64_t seed) {
  return fit_tree(d.covariates(), d.log_rank(), d.nelson_aalen(), params, seed);
}

// A log-rank forest with Nelson–Aalen leaves on `d`.
inline Forest<StepFunction> log_rank_forest(const Dataset& d, const ForestParams& params,
                                            std::uint64_t seed) {
  return grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(), params, seed);
}

}  // namespace korvane::testing
