#include "fit_arguments.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "convert.hpp"
#include "korvane/format.hpp"
#include "korvane/sampling.hpp"

namespace korvane::python {

namespace {

void check_layout(PyArrayObject* x) {
  if (!is_column_major(x)) {
    raise(PyExc_ValueError,
          "X must be Fortran-contiguous (column-major) f64. "
          "Call np.asfortranarray(x, dtype=np.float64) before fitting.");
  }
}

struct SurvivalColumns {
  std::span<const double> time;
  std::span<const std::uint8_t> event;
};

// Slice access, lengths and the layout of X.
SurvivalColumns checked_survival_columns(const SurvivalArrays& arrays) {
  const SurvivalColumns columns{contiguous_doubles(arrays.event_time),
                                contiguous_bytes(arrays.event_indicator)};
  const std::size_t n = n_rows(arrays.x);
  if (columns.time.size() != n || columns.event.size() != n) {
    raise(PyExc_ValueError, "X has " + std::to_string(n) + " rows but event_time has " +
                                std::to_string(columns.time.size()) + " and event_indicator has " +
                                std::to_string(columns.event.size()));
  }
  check_layout(arrays.x);
  return columns;
}

std::span<const double> checked_pseudo_outcome(const GradientArrays& arrays) {
  const std::span<const double> outcome = contiguous_doubles(arrays.pseudo_outcome);
  const std::size_t n = n_rows(arrays.x);
  if (outcome.size() != n) {
    raise(PyExc_ValueError, "X has " + std::to_string(n) + " rows but pseudo_outcome has " +
                                std::to_string(outcome.size()));
  }
  check_layout(arrays.x);
  return outcome;
}

// The settings as the core takes them, but for max_features, which is parsed
// last.
korvane::TreeParams unparsed_params(const TreeSettings& settings) {
  korvane::TreeParams params;
  if (settings.honesty) params.honesty = settings.honesty_fraction;
  params.max_depth = settings.max_depth;
  params.min_samples_leaf = settings.min_samples_leaf;
  params.min_samples_split = settings.growth.min_samples_split;
  params.max_leaf_nodes = settings.growth.max_leaf_nodes;
  params.min_weight_fraction_leaf = settings.growth.min_weight_fraction_leaf;
  return params;
}

korvane::ForestParams unparsed_params(const ForestSettings& settings) {
  return {unparsed_params(static_cast<const TreeSettings&>(settings)), settings.n_trees,
          settings.bootstrap, settings.subsample_fraction};
}

// A tree grows on all the rows it is given, as a forest of one tree drawing
// all of them without replacement would.
korvane::ForestParams as_forest(const TreeSettings& settings) {
  return {unparsed_params(settings), 1, false, 1.0};
}
korvane::ForestParams as_forest(const ForestSettings& settings) {
  return unparsed_params(settings);
}

// The fraction ranges and the tree count, the rules a loaded model meets too.
template <class Settings>
void check_settings(const Settings& settings) {
  if (const auto mismatch = korvane::settings_mismatch(unparsed_params(settings))) {
    raise(PyExc_ValueError, *mismatch);
  }
}

// Rows, columns and features are numbered with 32 bits in the core.
void check_count_fits(std::size_t count, const char* what) {
  if (count > UINT32_MAX) {
    raise(PyExc_ValueError,
          "X has " + std::to_string(count) + " " + what + "; at most 4294967295 are supported");
  }
}

korvane::MatrixView training_view(PyArrayObject* x) {
  const korvane::MatrixView view = matrix_view(x, "X", "X.copy(order='F')");
  if (view.n_cols == 0) raise(PyExc_ValueError, "X must have at least one column");
  check_count_fits(view.n_rows, "rows");
  check_count_fits(view.n_cols, "columns");
  return view;
}

// The settings' own checks, then the shape checks of the training matrix that
// the settings depend on; returns the view of X the core reads.
korvane::MatrixView checked_training(PyArrayObject* x, const TreeSettings& settings) {
  check_settings(settings);
  const korvane::MatrixView view = training_view(x);
  // An honest tree splits its rows into a splitting and an estimation part.
  if (settings.honesty && view.n_rows < 2) {
    raise(PyExc_ValueError,
          "X must have at least 2 rows for an honest tree, got " + std::to_string(view.n_rows));
  }
  return view;
}

korvane::MatrixView checked_training(PyArrayObject* x, const ForestSettings& settings) {
  check_settings(settings);
  const korvane::MatrixView view = training_view(x);
  // Every tree draws at least one row, and an honest tree needs two.
  if (view.n_rows == 0) raise(PyExc_ValueError, "X must have at least one row to fit a forest");
  if (const auto per_tree = korvane::too_few_rows_drawn(view.n_rows, as_forest(settings))) {
    raise(PyExc_ValueError,
          "subsample_fraction=" + korvane::format_shortest(settings.subsample_fraction) + " of " +
              korvane::format_rows(view.n_rows) + " draws " + korvane::format_rows(*per_tree) +
              " per tree, but an honest tree needs at least 2");
  }
  return view;
}

// Split searches and the hazard estimator order rows by these values.
void check_no_nan_times(std::span<const double> time) {
  const auto nan = std::find_if(time.begin(), time.end(), [](double t) { return std::isnan(t); });
  if (nan != time.end()) {
    raise(PyExc_ValueError, "event_time has NaN at row " + std::to_string(nan - time.begin()));
  }
}

// The first value of x that `found` picks, by row, then by column. The scan
// runs column by column, as the training layout stores them; a later column
// only needs the rows above the first value found so far.
template <class Found>
std::optional<std::pair<std::size_t, std::size_t>> first_value(const korvane::MatrixView& x,
                                                               Found&& found) {
  std::optional<std::pair<std::size_t, std::size_t>> first;
  std::size_t rows_to_scan = x.n_rows;
  for (std::size_t col = 0; col < x.n_cols; ++col) {
    for (std::size_t row = 0; row < rows_to_scan; ++row) {
      if (found(x.at(row, col))) {
        first = {row, col};
        rows_to_scan = row;
        break;
      }
    }
  }
  return first;
}

void check_no_nan_covariates(const korvane::MatrixView& x) {
  if (const auto nan = first_value(x, [](double v) { return std::isnan(v); })) {
    raise(PyExc_ValueError, "X has NaN at row " + std::to_string(nan->first) + ", column " +
                                std::to_string(nan->second));
  }
}

// With missing values, NaN marks one; an infinite value would sit beside the
// "is missing" split's threshold (+inf) and mean nothing a split can use.
void check_no_infinite_covariates(const korvane::MatrixView& x) {
  if (const auto inf = first_value(x, [](double v) { return std::isinf(v); })) {
    raise(PyExc_ValueError, "X has " + korvane::format_shortest(x.at(inf->first, inf->second)) +
                                " at row " + std::to_string(inf->first) + ", column " +
                                std::to_string(inf->second) +
                                "; with missing_values=True only NaN marks a missing value");
  }
}

void check_covariates(const korvane::MatrixView& x, korvane::MissingValues missing) {
  if (missing == korvane::MissingValues::kIncorporated) {
    check_no_infinite_covariates(x);
  } else {
    check_no_nan_covariates(x);
  }
}

// The total RowWeights rounds to: finite and positive, for weights already
// known to be finite and >= 0.
void check_weight_total(std::span<const double> weight) {
  double total = 0.0;
  for (const double w : weight) total += w;
  if (!(total > 0.0 && std::isfinite(total))) {
    raise(PyExc_ValueError,
          "sample_weight must have a finite, positive sum, got " + korvane::format_shortest(total));
  }
}

// Slice access and length of the weights, then their values; the rows of
// positive weight must still make an honest tree (forest: an honest tree's
// draw) possible. The weights are copied once rounded, so the caller's array
// is read, never kept or changed.
template <class Settings>
FitWeights checked_weights(PyArrayObject* array, std::size_t n, const Settings& settings) {
  if (array == nullptr) return {};
  const std::span<const double> weight = contiguous_doubles(array);
  if (weight.size() != n) {
    raise(PyExc_ValueError, "X has " + std::to_string(n) + " rows but sample_weight has " +
                                std::to_string(weight.size()));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!(std::isfinite(weight[i]) && weight[i] >= 0.0)) {
      raise(PyExc_ValueError, "sample_weight must be finite and >= 0, got " +
                                  korvane::format_shortest(weight[i]) + " at row " +
                                  std::to_string(i));
    }
  }
  check_weight_total(weight);
  FitWeights weights{korvane::RowWeights(weight)};
  const std::size_t kept = weights.rounded->kept_rows().size();
  if (const auto drawn = korvane::too_few_rows_drawn(kept, as_forest(settings))) {
    raise(PyExc_ValueError, "sample_weight leaves " + korvane::format_rows(kept) +
                                " of positive weight, from which an honest tree draws " +
                                korvane::format_rows(*drawn) + "; it needs at least 2");
  }
  return weights;
}

// Parses max_features, the last setting a fit checks.
korvane::TreeParams params_from(const TreeSettings& settings, std::size_t n_features) {
  korvane::TreeParams params = unparsed_params(settings);
  params.min_samples_split =
      korvane::effective_min_samples_split(params.min_samples_split, params.min_samples_leaf);
  params.max_features =
      parse_max_features(settings.max_features.given, static_cast<std::uint32_t>(n_features),
                         settings.max_features.if_none);
  return params;
}

korvane::ForestParams params_from(const ForestSettings& settings, std::size_t n_features) {
  korvane::ForestParams params = unparsed_params(settings);
  params.tree = params_from(static_cast<const TreeSettings&>(settings), n_features);
  return params;
}

template <class Params, class Settings>
LogRankInputs<Params> checked_log_rank_inputs(const SurvivalArrays& arrays,
                                              const Settings& settings,
                                              korvane::MissingValues missing) {
  const SurvivalColumns columns = checked_survival_columns(arrays);
  const korvane::MatrixView x = checked_training(arrays.x, settings);
  check_no_nan_times(columns.time);
  check_covariates(x, missing);
  FitWeights weights = checked_weights(arrays.sample_weight, x.n_rows, settings);
  return {x,
          columns.time,
          columns.event,
          params_from(settings, x.n_cols),
          settings.seed,
          std::move(weights),
          missing};
}

// A per-row column of an effect fit: contiguous, one value per row of X.
std::span<const double> checked_column(PyArrayObject* array, const char* name, std::size_t n) {
  const std::span<const double> column = contiguous_doubles(array);
  if (column.size() != n) {
    raise(PyExc_ValueError, "X has " + std::to_string(n) + " rows but " + name + " has " +
                                std::to_string(column.size()));
  }
  return column;
}

void check_finite(std::span<const double> column, const char* name) {
  const auto bad =
      std::find_if(column.begin(), column.end(), [](double v) { return !std::isfinite(v); });
  if (bad != column.end()) {
    raise(PyExc_ValueError, std::string(name) + " has " + korvane::format_shortest(*bad) +
                                " at row " + std::to_string(bad - column.begin()) +
                                "; it must be finite");
  }
}

void check_sample_weight(std::span<const double> weight) {
  check_finite(weight, "sample_weight");
  const auto negative = std::find_if(weight.begin(), weight.end(), [](double v) { return v < 0; });
  if (negative != weight.end()) {
    raise(PyExc_ValueError, "sample_weight has " + korvane::format_shortest(*negative) +
                                " at row " + std::to_string(negative - weight.begin()) +
                                "; weights must be >= 0");
  }
  if (std::all_of(weight.begin(), weight.end(), [](double v) { return v == 0.0; })) {
    raise(PyExc_ValueError, "sample_weight must not be all zero");
  }
  check_weight_total(weight);
}

// Little bags of ci_group_size trees, and an honest tree's two rows.
void check_little_bags(const korvane::ForestParams& params, std::size_t n) {
  if (const auto mismatch = korvane::little_bag_mismatch(n, params)) {
    raise(PyExc_ValueError, *mismatch);
  }
  if (const auto per_tree = korvane::too_few_rows_drawn(n, params)) {
    raise(PyExc_ValueError, "each tree draws " + korvane::format_rows(*per_tree) + " of " +
                                korvane::format_rows(n) + ", but an honest tree needs at least 2");
  }
}

// The floor on each child's rows either side of the balance column's node
// mean; none when min_side_samples is 0.
korvane::SideFloor checked_side_floor(PyArrayObject* balance, const EffectSettings& effect,
                                      std::size_t n) {
  if (effect.min_side_samples == 0) return {};
  if (balance == nullptr) {
    raise(PyExc_ValueError, "min_side_samples = " + std::to_string(effect.min_side_samples) +
                                " needs a balance column");
  }
  const std::span<const double> column = checked_column(balance, "balance", n);
  check_finite(column, "balance");
  return {column, effect.min_side_samples};
}

}  // namespace

EffectInputs checked_effect_inputs(const EffectArrays& arrays, EffectColumnNames names,
                                   const ForestSettings& settings, EffectSettings effect) {
  const std::size_t n = n_rows(arrays.x);
  const std::span<const double> first = checked_column(arrays.first, names.first, n);
  const std::span<const double> second = checked_column(arrays.second, names.second, n);
  const std::span<const double> weight =
      arrays.sample_weight == nullptr ? std::span<const double>{}
                                      : checked_column(arrays.sample_weight, "sample_weight", n);
  check_layout(arrays.x);
  const korvane::MatrixView x = checked_training(arrays.x, settings);
  check_covariates(x, effect.missing);
  check_finite(first, names.first);
  check_finite(second, names.second);
  if (arrays.sample_weight != nullptr) check_sample_weight(weight);
  if (!(effect.min_child_fraction >= 0.0 && effect.min_child_fraction < 0.5)) {
    raise(PyExc_ValueError, "min_child_fraction must lie in [0, 0.5), got " +
                                korvane::format_shortest(effect.min_child_fraction));
  }
  korvane::ForestParams params = params_from(settings, x.n_cols);
  params.ci_group_size = effect.ci_group_size;
  check_little_bags(params, x.n_rows);
  const korvane::SideFloor side_floor = checked_side_floor(arrays.balance, effect, n);
  FitWeights weights;
  if (arrays.sample_weight != nullptr) weights.rounded.emplace(weight);
  return {x,          first,  second,        std::move(weights), effect.min_child_fraction,
          side_floor, params, settings.seed, effect.missing};
}

LogRankInputs<korvane::TreeParams> checked_tree_inputs(const SurvivalArrays& arrays,
                                                       const TreeSettings& settings,
                                                       korvane::MissingValues missing) {
  return checked_log_rank_inputs<korvane::TreeParams>(arrays, settings, missing);
}

LogRankInputs<korvane::ForestParams> checked_forest_inputs(const SurvivalArrays& arrays,
                                                           const ForestSettings& settings,
                                                           korvane::MissingValues missing) {
  return checked_log_rank_inputs<korvane::ForestParams>(arrays, settings, missing);
}

GradientInputs checked_gradient_inputs(const GradientArrays& arrays, const ForestSettings& settings,
                                       korvane::MissingValues missing) {
  const std::span<const double> pseudo_outcome = checked_pseudo_outcome(arrays);
  const korvane::MatrixView x = checked_training(arrays.x, settings);
  check_covariates(x, missing);
  FitWeights weights = checked_weights(arrays.sample_weight, x.n_rows, settings);
  return {
      x,      pseudo_outcome, params_from(settings, x.n_cols), settings.seed, std::move(weights),
      missing};
}

}  // namespace korvane::python
