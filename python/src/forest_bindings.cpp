// The log-rank survival forest and the gradient forest: one Forest template
// over the leaf payload, so both classes share their properties, weights and
// repr, and differ in their fits, docstrings and the log-rank prediction.

#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "boundary.hpp"
#include "declaration.hpp"
#include "doc_text.hpp"
#include "fit_arguments.hpp"
#include "korvane/criteria/gradient.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/criteria/relabeled.hpp"
#include "korvane/forest.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/hazard.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/node_table.hpp"
#include "korvane/weighted_sums.hpp"
#include "model_class.hpp"
#include "queries.hpp"

namespace korvane::python {

namespace {

template <class Payload>
using PyForest = OwnerObject<korvane::Forest<Payload>>;
using PyLogRankSurvivalForest = PyForest<korvane::StepFunction>;
using PyGradientForest = PyForest<korvane::NoPayload>;

template <class Payload>
const korvane::Forest<Payload>& forest_of(PyObject* self) {
  return value_of<PyForest<Payload>>(self);
}

// The run settings of the private calls.
inline constexpr auto kThreads = keyword("n_threads", "None", to_thread_count);
inline constexpr auto kProgress = keyword("progress", "None", to_progress);

// A private call's options: its threads, and its progress callback when it
// declares one, told about `total` trees.
template <const auto& D>
CallOptions call_options(const Arguments<D>& arguments, std::size_t total = 0) {
  if constexpr (D.index_of("progress") < std::remove_cvref_t<decltype(D)>::size) {
    return {get<"n_threads">(arguments), get<"progress">(arguments), total};
  } else {
    return {get<"n_threads">(arguments), nullptr, total};
  }
}

template <class Payload>
PyObject* n_trees(PyObject* self, void*) {
  return PyLong_FromSize_t(forest_of<Payload>(self).n_trees());
}

template <class Payload>
PyObject* n_features(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(forest_of<Payload>(self).n_features);
}

template <class Payload>
PyObject* n_train_samples(PyObject* self, void*) {
  return PyLong_FromSize_t(forest_of<Payload>(self).n_train_samples);
}

template <class Payload>
PyObject* repr(PyObject* self) {
  const auto& forest = forest_of<Payload>(self);
  const OwnedRef name = type_name_of(self);
  return PyUnicode_FromFormat("%U(n_trees=%zu, n_features=%u, n_train_samples=%zu)", name.get(),
                              forest.n_trees(), forest.n_features, forest.n_train_samples);
}

template <class Payload, const auto& D>
PyObject* forest_weights(PyObject* self, const Arguments<D>& arguments) {
  const auto& forest = forest_of<Payload>(self);
  const korvane::MatrixView x = weights_query(get<"X">(arguments), "forest", forest.n_features);
  korvane::UnfilledDoubles weights = run_pooled(
      [&](korvane::CallControl& control) { return korvane::forest_weights(forest, x, control); });
  return result_array(std::move(weights), x.n_rows, forest.n_train_samples);
}

template <class Payload, const auto& D>
PyObject* forest_weights_one(PyObject* self, const Arguments<D>& arguments) {
  const auto& forest = forest_of<Payload>(self);
  const korvane::VectorView x = weights_one_query(get<"x">(arguments), "forest", forest.n_features);
  korvane::UnfilledDoubles weights = run_pooled(
      [&](korvane::CallControl& control) { return korvane::forest_weights(forest, x, control); });
  return result_array(std::move(weights));
}

// X of a query about the training rows themselves: the training covariates.
template <class Payload>
korvane::MatrixView training_rows(const korvane::Forest<Payload>& forest,
                                  const korvane::MatrixView& x) {
  if (x.n_rows != forest.n_train_samples) {
    raise(PyExc_ValueError, "X has " + std::to_string(x.n_rows) + " rows but forest was fit on " +
                                std::to_string(forest.n_train_samples) + " training rows");
  }
  return x;
}

constexpr auto kOobWeights =
    method("_oob_forest_weights", std::tuple{kQueryX, kThreads},
           "Out-of-bag forest weights of the training rows, `(n_train, n_train)`.\n\n"
           "`X` holds the training covariates. Row i holds the forest weights of\n"
           "`X[i]` computed over only the trees that did not draw training row i,\n"
           "averaged over those trees; it is NaN when every tree drew row i.");

template <class Payload, const auto& D>
PyObject* oob_forest_weights(PyObject* self, const Arguments<D>& arguments) {
  const auto& forest = forest_of<Payload>(self);
  const korvane::MatrixView x =
      training_rows(forest, weights_query(get<"X">(arguments), "forest", forest.n_features));
  korvane::UnfilledDoubles weights = run_pooled(
      [&](korvane::CallControl& control) {
        return korvane::oob_forest_weights(forest, x, control);
      },
      call_options(arguments));
  return result_array(std::move(weights), x.n_rows, forest.n_train_samples);
}

constexpr auto kInBag =
    method("_in_bag", std::tuple{},
           "How often each tree drew each training row, uint32 `(n_trees, n_train)`:\n"
           "bootstrap counts, or 0 and 1 under subsampling. Replayed from each\n"
           "tree's own random stream.");

template <class Payload, const auto& D>
PyObject* in_bag(PyObject* self, const Arguments<D>&) {
  const auto& forest = forest_of<Payload>(self);
  std::vector<std::uint32_t> counts =
      run_pooled([&](korvane::CallControl&) { return korvane::in_bag(forest); });
  return result_array(std::move(counts), forest.n_trees(), forest.n_train_samples);
}

constexpr auto kHonestEstimation =
    method("_honest_estimation", std::tuple{},
           "Whether each training row estimated the leaves of each tree, bool\n"
           "`(n_trees, n_train)`: every drawn row when the forest is not honest.");

template <class Payload, const auto& D>
PyObject* honest_estimation(PyObject* self, const Arguments<D>&) {
  const auto& forest = forest_of<Payload>(self);
  std::vector<std::uint8_t> rows =
      run_pooled([&](korvane::CallControl&) { return korvane::honest_estimation(forest); });
  return result_array(std::move(rows), forest.n_trees(), forest.n_train_samples);
}

constexpr auto kApply = method("_apply", std::tuple{kQueryX},
                               "The leaf each tree sends each row of `X` to, uint32\n"
                               "`(n, n_trees)`.");

template <class Payload, const auto& D>
PyObject* apply(PyObject* self, const Arguments<D>& arguments) {
  const auto& forest = forest_of<Payload>(self);
  const korvane::MatrixView x = weights_query(get<"X">(arguments), "forest", forest.n_features);
  std::vector<std::uint32_t> leaves =
      run_pooled([&](korvane::CallControl&) { return korvane::apply(forest, x); });
  return result_array(std::move(leaves), x.n_rows, forest.n_trees());
}

constexpr auto kTree = positional("tree", to_u64);

// Tree `index` of the forest, which is read in place.
template <class Payload>
const korvane::Tree<Payload>& tree_at(const korvane::Forest<Payload>& forest, std::uint64_t index) {
  if (index >= forest.n_trees()) {
    raise(PyExc_IndexError, "tree " + std::to_string(index) + " is out of range for a forest of " +
                                std::to_string(forest.n_trees()) + " trees");
  }
  return forest.trees[index];
}

constexpr auto kTreeApply = method("_tree_apply", std::tuple{kTree, kQueryX},
                                   "The leaf tree `tree` sends each row of `X` to, uint32 `(n,)`.");

template <class Payload, const auto& D>
PyObject* tree_apply(PyObject* self, const Arguments<D>& arguments) {
  const auto& tree = tree_at(forest_of<Payload>(self), get<"tree">(arguments));
  const korvane::MatrixView x = weights_query(get<"X">(arguments), "forest", tree.n_features);
  std::vector<std::uint32_t> leaves =
      run_pooled([&](korvane::CallControl&) { return korvane::apply(tree, x); });
  return result_array(std::move(leaves));
}

constexpr auto kTreeNodes =
    method("_tree_nodes", std::tuple{kTree},
           "The nodes of tree `tree` in scikit-learn's layout (depth-first\n"
           "pre-order, root 0): a dict of arrays children_left, children_right\n"
           "(-1 at a leaf), feature (-2 at a leaf), threshold (-2.0 at a leaf),\n"
           "impurity (the split's score, 0 at a leaf), missing_go_to_left, leaf\n"
           "(the leaf's index as `_apply` numbers it, -1 at a split) and\n"
           "n_node_samples (the training rows the tree recorded under the node:\n"
           "its drawn rows, or with honesty its estimation rows, each draw once).");

template <class Payload, const auto& D>
PyObject* tree_nodes(PyObject* self, const Arguments<D>& arguments) {
  const auto& forest = forest_of<Payload>(self);
  const std::uint64_t index = get<"tree">(arguments);
  return node_table_dict(korvane::node_table(tree_at(forest, index), forest.leaf_sizes[index]));
}

constexpr auto kValues = positional("values", ArrayOf{2, NPY_FLOAT64});

constexpr char kSumsDoc[] =
    "`values` holds one row of k columns per training row (any layout).\n"
    "A tree's term for a query row is the mean of `values` over the rows\n"
    "it recorded in the leaf the query reaches; the result equals\n"
    "`forest_weights(X) @ values` up to rounding, without the weight\n"
    "matrix.";

constexpr auto kWeightedSumsDoc =
    join_text("Forest-weighted sums of `values` for each row of `X`, `(n, k)`.\n\n", kSumsDoc);

constexpr auto kWeightedSums =
    method("_weighted_sums", std::tuple{kQueryX, kValues, kThreads}, kWeightedSumsDoc.data());

constexpr auto kOobWeightedSums =
    method("_oob_weighted_sums", std::tuple{kQueryX, kValues, kThreads},
           "Out-of-bag forest-weighted sums of `values`, `(n_train, k)`: `X` holds\n"
           "the training covariates; row i averages the terms of the trees that\n"
           "did not draw training row i (NaN when every tree drew it). Terms as\n"
           "in `_weighted_sums`.");

constexpr auto kTreeWeightedSums =
    method("_tree_weighted_sums", std::tuple{kQueryX, kValues, kThreads},
           "Each tree's term of the forest-weighted sums of `values` for each row\n"
           "of `X`, `(n, n_trees, k)`: the mean of `values` over the training rows\n"
           "the tree recorded in the leaf the row reaches (0 for an empty leaf).\n"
           "Their mean over the trees is `_weighted_sums`; trees b of a little\n"
           "bag are the `ci_group_size` consecutive ones.");

// The values of a weighted-sum query: one row per training row.
korvane::MatrixView values_view(PyArrayObject* values, std::size_t n_train) {
  const korvane::MatrixView view = matrix_view(values, "values", "values.copy()");
  if (view.n_rows != n_train) {
    raise(PyExc_ValueError, "values has " + std::to_string(view.n_rows) +
                                " rows but forest was fit on " + std::to_string(n_train) +
                                " training rows");
  }
  return view;
}

// The sums of a weighted-sum query, for `rows` query rows of k values each.
struct Sums {
  std::vector<double> values;
  std::size_t rows;
  std::size_t k;
};

// A weighted-sum query: checks X (the training rows when `training`) and
// values, and runs `sums` on the pool.
template <const auto& D, class Compute>
Sums sums_query(PyObject* self, const Arguments<D>& arguments, bool training, Compute&& compute) {
  const auto& forest = forest_of<korvane::NoPayload>(self);
  korvane::MatrixView x = weights_query(get<"X">(arguments), "forest", forest.n_features);
  if (training) x = training_rows(forest, x);
  const korvane::MatrixView values = values_view(get<"values">(arguments), forest.n_train_samples);
  std::vector<double> out =
      run_pooled([&](korvane::CallControl& control) { return compute(forest, x, values, control); },
                 call_options(arguments));
  return {std::move(out), x.n_rows, values.n_cols};
}

PyObject* weighted_sums(PyObject* self, const Arguments<kWeightedSums>& arguments) {
  Sums sums = sums_query(self, arguments, false,
                         [](const auto&... a) { return korvane::weighted_sums(a...); });
  return result_array(std::move(sums.values), sums.rows, sums.k);
}

PyObject* oob_weighted_sums(PyObject* self, const Arguments<kOobWeightedSums>& arguments) {
  Sums sums = sums_query(self, arguments, true,
                         [](const auto&... a) { return korvane::oob_weighted_sums(a...); });
  return result_array(std::move(sums.values), sums.rows, sums.k);
}

PyObject* tree_weighted_sums(PyObject* self, const Arguments<kTreeWeightedSums>& arguments) {
  Sums sums = sums_query(self, arguments, false,
                         [](const auto&... a) { return korvane::tree_weighted_sums(a...); });
  const std::size_t n_trees = forest_of<korvane::NoPayload>(self).n_trees();
  return result_array(std::move(sums.values), sums.rows, n_trees, sums.k);
}

constexpr auto kSplitImportance =
    method("_split_importance", std::tuple{},
           "Per feature, the sum of the scores of the splits on it (log-rank\n"
           "statistic or variance reduction), averaged over the trees; not\n"
           "normalised. `(n_features,)`.");

template <class Payload, const auto& D>
PyObject* split_importance(PyObject* self, const Arguments<D>&) {
  return result_array(korvane::split_importance(forest_of<Payload>(self)));
}

constexpr auto kLogRankPredict =
    method("predict_cumulative_hazard", std::tuple{kQueryX, kTimes},
           "Tree-averaged cumulative hazard $\\hat\\Lambda(t | x)$ for each row of\n"
           "`X` at every time in `times`. Returns an `(n, k)` array.");

PyObject* predict(PyObject* self, const Arguments<kLogRankPredict>& arguments) {
  return predict_hazard(forest_of<korvane::StepFunction>(self), "forest", arguments);
}

constexpr auto kTreeHazard =
    method("_tree_cumulative_hazard", std::tuple{kTree, kQueryX, kTimes},
           "Cumulative hazard of tree `tree` alone for each row of `X` at every\n"
           "time in `times`, `(n, n_times)`. Summed over the trees in order and\n"
           "divided by their number, it is `predict_cumulative_hazard` to the bit.");

PyObject* tree_cumulative_hazard(PyObject* self, const Arguments<kTreeHazard>& arguments) {
  const auto& forest = forest_of<korvane::StepFunction>(self);
  return predict_hazard(tree_at(forest, get<"tree">(arguments)), "forest", arguments);
}

constexpr auto kOobHazard =
    method("_oob_cumulative_hazard", std::tuple{kQueryX, kTimes, kThreads},
           "Out-of-bag cumulative hazard of the training rows at every time in\n"
           "`times`, `(n_train, k)`. `X` holds the training covariates; row i\n"
           "averages the trees that did not draw training row i, and is NaN when\n"
           "every tree drew it.");

PyObject* oob_cumulative_hazard(PyObject* self, const Arguments<kOobHazard>& arguments) {
  const auto& forest = forest_of<korvane::StepFunction>(self);
  const HazardQuery query =
      hazard_query(get<"X">(arguments), get<"times">(arguments), "forest", forest.n_features);
  const korvane::MatrixView x = training_rows(forest, query.x);
  std::vector<double> hazard = run_pooled(
      [&](korvane::CallControl& control) {
        return korvane::oob_cumulative_hazard(forest, x, query.times, control);
      },
      call_options(arguments));
  return result_array(std::move(hazard), x.n_rows, query.times.size());
}

// The weights a forest keeps and draws its trees' rows by. An effect forest
// keeps none: its estimators weigh the rows in the sums they take over its
// forest weights, so its trees draw from every row.
template <class Inputs>
std::span<const double> kept_weights(const Inputs& inputs) {
  return inputs.weights.values();
}
std::span<const double> kept_weights(const EffectInputs&) { return {}; }

// Forests up to this much work (training rows × trees × features per node)
// grow in a few milliseconds, as the 110-row veteran folds' 100 trees do in
// about two: there the hand-off to the pool would cost as much as a tree.
constexpr std::uint64_t kBriefForestWork = std::uint64_t{1} << 17;

template <class Inputs>
CallOptions sized(CallOptions options, const Inputs& inputs, korvane::TreeRange trees) {
  const std::uint64_t per_node = inputs.params.tree.max_features.resolve(inputs.x.n_cols);
  const std::uint64_t work = korvane::saturating_mul(
      korvane::saturating_mul(inputs.x.n_rows, trees.stop - trees.start), per_node);
  options.brief = work <= kBriefForestWork;
  return options;
}

// Ranks the covariates and grows trees [trees.start, trees.stop) of the forest
// without the GIL. `make_criterion` builds the criterion there too, since a
// criterion may rank its outcome, and `make_leaves` the leaf estimate from the
// criterion, whose ranks it may share.
template <class Inputs, class MakeCriterion, class MakeLeaves>
PyObject* grow_forest(PyTypeObject* type, const Inputs& inputs, MakeCriterion&& make_criterion,
                      MakeLeaves&& make_leaves, korvane::TreeRange trees,
                      const CallOptions& options) {
  using Payload = typename decltype(make_leaves(make_criterion()))::Payload;
  auto forest = run_pooled(
      [&](korvane::CallControl& control) {
        const auto criterion = make_criterion();
        return korvane::grow_forest(korvane::Covariates(inputs.x, control, inputs.missing_values),
                                    criterion, make_leaves(criterion), inputs.params, inputs.seed,
                                    trees, control, kept_weights(inputs));
      },
      sized(options, inputs, trees));
  return new_owner<PyForest<Payload>>(type, std::move(forest)).release();
}

// The leaf estimate of forests that answer through forest weights alone.
constexpr auto kNoLeaves = [](const auto&) { return korvane::NoLeaves{}; };

korvane::TreeRange all_trees(const korvane::ForestParams& params) { return {0, params.n_trees}; }

// The trees a private fit grows: all of them, or the requested [start, stop).
korvane::TreeRange checked_trees(const TreeRequest& request, std::uint64_t n_trees) {
  if (!request) return {0, n_trees};
  const auto [start, stop] = *request;
  if (!(start < stop && stop <= n_trees)) {
    raise(PyExc_ValueError, "trees must be (start, stop) with 0 <= start < stop <= n_trees = " +
                                std::to_string(n_trees) + ", got (" + std::to_string(start) + ", " +
                                std::to_string(stop) + ")");
  }
  return {start, stop};
}

constexpr auto kLogRankParameters =
    std::tuple{kTrainingX,
               kEventTime,
               kEventIndicator,
               keyword("n_trees", "100", to_u64),
               keyword("min_samples_leaf", "15", to_u64),
               kMaxDepth,
               keyword("max_features", "None", MaxFeaturesOr{&korvane::MaxFeatures::sqrt}),
               keyword("bootstrap", "True", to_flag),
               keyword("subsample_fraction", "1.0", to_fraction),
               keyword("honesty", "False", to_flag),
               kHonestyFraction,
               kSeed};

constexpr auto kFitLogRank =
    function("fit_log_rank_forest", kLogRankParameters,
             "Fit a random survival forest with log-rank splitting.\n\n"
             "Trees are fitted in parallel, each from its own seed derived\n"
             "deterministically from `seed`, so the forest is identical whatever\n"
             "the number of threads.");

// A log-rank forest: log-rank splits, Nelson–Aalen leaves, both with the
// fit's weights (none for the public fit).
template <class Inputs>
PyObject* log_rank_forest(const Inputs& inputs, korvane::TreeRange trees,
                          const CallOptions& options = {}) {
  const std::span<const double> weight = inputs.weights.values();
  return grow_forest(
      log_rank_survival_forest_class(), inputs,
      [&] { return korvane::LogRankCriterion(inputs.time, inputs.event, weight); },
      [&](const korvane::LogRankCriterion& criterion) {
        return korvane::NelsonAalenLeaves(inputs.time, inputs.event, weight,
                                          criterion.time_ranks());
      },
      trees, options);
}

PyObject* fit_log_rank_forest(PyObject*, const Arguments<kFitLogRank>& arguments) {
  const auto inputs = checked_forest_inputs(arguments);
  return log_rank_forest(inputs, all_trees(inputs.params));
}

constexpr auto kGradientParameters =
    std::tuple{kTrainingX,
               kPseudoOutcome,
               keyword("n_trees", "500", to_u64),
               keyword("min_samples_leaf", "5", to_u64),
               kMaxDepth,
               keyword("max_features", "None", MaxFeaturesOr{&korvane::MaxFeatures::sqrt}),
               keyword("bootstrap", "False", to_flag),
               keyword("subsample_fraction", "0.5", to_fraction),
               keyword("honesty", "True", to_flag),
               kHonestyFraction,
               kSeed};

constexpr auto kFitGradient =
    function("fit_gradient_forest", kGradientParameters,
             "Fit a partition-only (\"gradient\") forest on `(X, pseudo_outcome)`.\n\n"
             "Each tree uses variance-reduction splitting on the per-sample\n"
             "pseudo-outcome (no log-rank, no survival times). Predictions come\n"
             "through [`PyGradientForest.forest_weights`], not per-leaf payloads.\n\n"
             "`pseudo_outcome` length must equal `X.shape[0]`.");

// A gradient forest: variance-reduction splits of the pseudo-outcome, no leaf
// estimates (it answers through forest weights).
PyObject* gradient_forest(const GradientInputs& inputs, korvane::TreeRange trees,
                          const CallOptions& options = {}) {
  const std::span<const double> weight = inputs.weights.values();
  return grow_forest(
      gradient_forest_class(), inputs,
      [&] { return korvane::GradientCriterion(inputs.pseudo_outcome, weight); }, kNoLeaves, trees,
      options);
}

PyObject* fit_gradient_forest(PyObject*, const Arguments<kFitGradient>& arguments) {
  const GradientInputs inputs = checked_gradient_inputs(arguments);
  return gradient_forest(inputs, all_trees(inputs.params));
}

// The settings the private fits add to the public ones.
constexpr auto kPieceParameters =
    std::tuple_cat(std::tuple{kSampleWeight, keyword("trees", "None", to_tree_range), kThreads,
                              kProgress, keyword("missing_values", "False", to_flag)},
                   kGrowthParameters);

constexpr auto kGrowLogRank =
    function("_grow_log_rank_forest", std::tuple_cat(kLogRankParameters, kPieceParameters),
             "fit_log_rank_forest, grown in pieces, on a chosen number of threads,\n"
             "with progress reports.\n\n"
             "`trees=(start, stop)` grows trees [start, stop) of the forest of\n"
             "`n_trees` trees that `seed` defines (None: all of them); pieces\n"
             "joined in order by `_join_forests` are that forest, bit for bit.\n"
             "`n_threads`: None, -1 (all cores) or a count; it never changes the\n"
             "forest. `progress(trees_finished, total)` is called from the calling\n"
             "thread.\n\n"
             "`sample_weight`: frequency weights (finite, >= 0, not all 0); a row\n"
             "of weight 2 counts twice in at-risk and event counts, leaf curves\n"
             "and forest weights, and rows of weight 0 are left out before trees\n"
             "draw theirs. Draws are uniform over the rows of positive weight.\n\n"
             "`missing_values=True` accepts NaN in `X` as a missing value (infinite\n"
             "values are refused instead): each split sends the rows missing its\n"
             "feature to the side that scores best (their weights count there) and\n"
             "records it, and a split whose rows all held the value sends NaN to\n"
             "its larger child. Queries with NaN follow the recorded sides.\n\n"
             "`min_samples_split` (>= 2; default 2), `max_leaf_nodes` (None, or\n"
             "best-first growth to at most that many leaves, >= 2) and\n"
             "`min_weight_fraction_leaf` (in [0, 0.5]; each child's least share\n"
             "of the weight of the tree's splitting rows, and of its estimation\n"
             "rows under honesty) are the growth rules of every private fit.");

PyObject* grow_log_rank_forest(PyObject*, const Arguments<kGrowLogRank>& arguments) {
  const auto inputs = checked_forest_inputs(arguments);
  const korvane::TreeRange trees = checked_trees(get<"trees">(arguments), inputs.params.n_trees);
  return log_rank_forest(inputs, trees, call_options(arguments, trees.stop - trees.start));
}

constexpr auto kGrowGradient =
    function("_grow_gradient_forest", std::tuple_cat(kGradientParameters, kPieceParameters),
             "fit_gradient_forest, grown in pieces, on a chosen number of\n"
             "threads, with progress reports, as _grow_log_rank_forest.");

PyObject* grow_gradient_forest(PyObject*, const Arguments<kGrowGradient>& arguments) {
  const GradientInputs inputs = checked_gradient_inputs(arguments);
  const korvane::TreeRange trees = checked_trees(get<"trees">(arguments), inputs.params.n_trees);
  return gradient_forest(inputs, trees, call_options(arguments, trees.stop - trees.start));
}

// The effect forests: a gradient forest's settings, little bags and sample
// weights, and splits on the rows relabelled in each node. They are gradient
// forests in every other respect (partition only, answered through forest
// weights or weighted sums), so they share that class.
constexpr auto kEffectSettings =
    std::tuple{keyword("n_trees", "500", to_u64),
               keyword("min_samples_leaf", "5", to_u64),
               kMaxDepth,
               keyword("max_features", "None", MaxFeaturesOr{&korvane::MaxFeatures::sqrt}),
               keyword("bootstrap", "False", to_flag),
               keyword("subsample_fraction", "0.5", to_fraction),
               keyword("honesty", "True", to_flag),
               kHonestyFraction,
               kSeed,
               keyword("ci_group_size", "2", to_u64),
               keyword("min_child_fraction", "0.05", to_fraction),
               keyword("min_side_samples", "0", to_u64)};

constexpr char kEffectNotesDoc[] =
    "Takes the settings of `fit_gradient_forest`, and\n"
    "`ci_group_size` (trees come in groups of this many that draw their\n"
    "samples from one half-sample of floor(n / 2) rows, derived from\n"
    "(seed, group); each tree draws round(2 * subsample_fraction *\n"
    "floor(n / 2)) of them, so subsample_fraction is at most 0.5;\n"
    "n_trees must be a multiple; 1 = no groups), `min_child_fraction`\n"
    "(each side of a split holds at least this share of the node's rows,\n"
    "in [0, 0.5)), `min_side_samples` (each side of a split holds at least\n"
    "this many rows above, and as many at or below, the node's mean of a\n"
    "balance column; 0 = no such floor) and `sample_weight` (None, or\n"
    "finite weights >= 0, not all 0, that weigh the node estimates and the\n"
    "variance splits). A node whose estimate does not exist (zero\n"
    "denominator) is a leaf. Returns a GradientForest; pieces, joins and\n"
    "persistence work as for `_grow_gradient_forest`.";

constexpr auto kGrowCausalDoc = join_text(
    "A causal forest's partition: in each node, the rows of the centred\n"
    "outcome y and treatment w are relabelled with the gradient of the\n"
    "node's moment condition, (w - mean w)((y - mean y) - (w - mean w) tau)\n"
    "/ mean((w - mean w)^2) with tau the node's effect, and the node is\n"
    "split by the variance reduction of the labels. The balance column of\n"
    "`min_side_samples` is the treatment.\n\n",
    kEffectNotesDoc);

constexpr auto kGrowCausal =
    function("_grow_causal_forest",
             std::tuple_cat(std::tuple{kTrainingX, positional("outcome", ArrayOf{1, NPY_FLOAT64}),
                                       positional("treatment", ArrayOf{1, NPY_FLOAT64})},
                            kEffectSettings, kPieceParameters),
             kGrowCausalDoc.data());

constexpr auto kGrowRatioDoc = join_text(
    "The partition of a forest for the estimating equation\n"
    "sum(numerator - tau * denominator) = 0: in each node the rows are\n"
    "relabelled with (numerator - tau * denominator) / mean(denominator),\n"
    "tau = sum(numerator) / sum(denominator), and the node is split by\n"
    "the variance reduction of the labels. `balance` (None, or one finite\n"
    "value per row, such as the treatment) is the balance column of\n"
    "`min_side_samples`.\n\n",
    kEffectNotesDoc);

constexpr auto kGrowRatio =
    function("_grow_ratio_forest",
             std::tuple_cat(std::tuple{kTrainingX, positional("numerator", ArrayOf{1, NPY_FLOAT64}),
                                       positional("denominator", ArrayOf{1, NPY_FLOAT64})},
                            kEffectSettings,
                            std::tuple{keyword("balance", "None", OptionalArrayOf{1, NPY_FLOAT64})},
                            kPieceParameters),
             kGrowRatioDoc.data());

template <const auto& D>
EffectArrays effect_arrays(const Arguments<D>& arguments, PyArrayObject* first,
                           PyArrayObject* second, PyArrayObject* balance) {
  return {get<"X">(arguments), first, second, get<"sample_weight">(arguments), balance};
}

// Grows the requested trees of an effect forest with the relabeling `make`
// builds from the two checked columns.
template <const auto& D, class Make>
PyObject* grow_effect_forest(const Arguments<D>& arguments, const EffectArrays& arrays,
                             EffectColumnNames names, Make&& make) {
  const EffectInputs inputs = checked_effect_inputs(
      arrays, names, forest_settings(arguments),
      {get<"ci_group_size">(arguments), get<"min_child_fraction">(arguments),
       get<"missing_values">(arguments) ? korvane::MissingValues::kIncorporated
                                        : korvane::MissingValues::kRefused,
       get<"min_side_samples">(arguments)});
  const korvane::TreeRange trees = checked_trees(get<"trees">(arguments), inputs.params.n_trees);
  return grow_forest(
      gradient_forest_class(), inputs,
      [&] {
        return korvane::RelabelingCriterion(make(inputs.first, inputs.second),
                                            inputs.weights.values(), inputs.min_child_fraction,
                                            inputs.side_floor);
      },
      kNoLeaves, trees, call_options(arguments, trees.stop - trees.start));
}

PyObject* grow_causal_forest(PyObject*, const Arguments<kGrowCausal>& arguments) {
  return grow_effect_forest(arguments,
                            effect_arrays(arguments, get<"outcome">(arguments),
                                          get<"treatment">(arguments), get<"treatment">(arguments)),
                            {"outcome", "treatment"},
                            [](std::span<const double> y, std::span<const double> w) {
                              return korvane::CausalRelabeling{y, w};
                            });
}

PyObject* grow_ratio_forest(PyObject*, const Arguments<kGrowRatio>& arguments) {
  return grow_effect_forest(arguments,
                            effect_arrays(arguments, get<"numerator">(arguments),
                                          get<"denominator">(arguments), get<"balance">(arguments)),
                            {"numerator", "denominator"},
                            [](std::span<const double> num, std::span<const double> den) {
                              return korvane::RatioRelabeling{num, den};
                            });
}

constexpr auto kJoin =
    function("_join_forests", std::tuple{positional("pieces", borrowed)},
             "Join pieces grown by `_grow_*_forest(..., trees=...)` into one forest.\n\n"
             "`pieces` is a sequence of forests of one class, grown on the same\n"
             "training rows with the same settings and seed, each starting at\n"
             "the tree where the one before it ends. Pieces of forests that differ\n"
             "only in `n_trees` join too; the result has the largest.");

// The forests of `items`, all of the class `type`.
template <class Payload>
std::vector<const korvane::Forest<Payload>*> forests_in(const std::vector<OwnedRef>& items,
                                                        PyTypeObject* type) {
  std::vector<const korvane::Forest<Payload>*> forests;
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (Py_TYPE(items[k].get()) != type) {
      PyErr_Format(PyExc_TypeError, "pieces[%zu] is a %U, but pieces[0] is a %U", k,
                   type_name_of(items[k].get()).get(), type_name(type).get());
      throw PythonError{};
    }
    forests.push_back(&forest_of<Payload>(items[k].get()));
    if (k == 0) continue;
    if (const auto mismatch = korvane::join_mismatch(*forests[k - 1], *forests[k])) {
      raise(PyExc_ValueError, "pieces[" + std::to_string(k) + "] cannot follow pieces[" +
                                  std::to_string(k - 1) + "]: " + *mismatch);
    }
  }
  return forests;
}

template <class Payload>
PyObject* join_pieces(const std::vector<OwnedRef>& items, PyTypeObject* type) {
  const auto forests = forests_in<Payload>(items, type);
  auto joined = run_pooled([&](korvane::CallControl&) { return korvane::join<Payload>(forests); });
  return new_owner<PyForest<Payload>>(type, std::move(joined)).release();
}

PyObject* join_forests(PyObject*, const Arguments<kJoin>& arguments) {
  const std::vector<OwnedRef> items = sequence_items(get<"pieces">(arguments), "pieces");
  if (items.empty()) raise(PyExc_ValueError, "pieces must hold at least one forest");
  PyTypeObject* type = Py_TYPE(items.front().get());
  if (type == log_rank_survival_forest_class())
    return join_pieces<korvane::StepFunction>(items, type);
  if (type == gradient_forest_class()) return join_pieces<korvane::NoPayload>(items, type);
  PyErr_Format(PyExc_TypeError, "pieces[0] is a %U, not a forest", type_name(type).get());
  throw PythonError{};
}

PyMethodDef functions[] = {
    fastcall_method<kFitLogRank, fit_log_rank_forest>(),
    fastcall_method<kFitGradient, fit_gradient_forest>(),
    fastcall_method<kGrowLogRank, grow_log_rank_forest>(),
    fastcall_method<kGrowGradient, grow_gradient_forest>(),
    fastcall_method<kGrowCausal, grow_causal_forest>(),
    fastcall_method<kGrowRatio, grow_ratio_forest>(),
    fastcall_method<kJoin, join_forests>(),
};

template <class Payload>
PyGetSetDef properties[] = {
    read_only_property<n_trees<Payload>>("n_trees"),
    read_only_property<n_features<Payload>>("n_features"),
    read_only_property<n_train_samples<Payload>>("n_train_samples"),
    kEndOfProperties,
};

// Both forests answer forest-weight queries alike, through the same
// parameters, but under docstrings of their own.
constexpr auto kLogRankWeights = method(
    "forest_weights", std::tuple{kQueryX},
    "For each row of `X`, return an `(n_train,)` weight vector over the training samples.\n\n"
    "$$\n"
    R"(w_i(x) = \frac{1}{B} \sum_b \frac{\mathbb{1}\{\mathrm{leaf}_b(x) = \mathrm{leaf}_b(x_i)\}}{|\mathrm{leaf}_b(x)|})"
    "\n$$");

constexpr auto kLogRankWeightsOne =
    method("forest_weights_one", std::tuple{kQueryRow},
           "Forest weights for a single query point. Returns a `(n_train,)`\n"
           "array — convenience over [`forest_weights`] when there's only one\n"
           "query.");

constexpr auto kGradientWeights = method("forest_weights", std::tuple{kQueryX},
                                         "Batched forest weights. Returns `(n_query, n_train)`.");

constexpr auto kGradientWeightsOne =
    method("forest_weights_one", std::tuple{kQueryRow},
           "Forest weights for a single query point. Returns `(n_train,)`.");

PyMethodDef log_rank_methods[] = {
    fastcall_method<kLogRankPredict, predict>(),
    fastcall_method<kLogRankWeights, forest_weights<korvane::StepFunction>>(),
    fastcall_method<kLogRankWeightsOne, forest_weights_one<korvane::StepFunction>>(),
    fastcall_method<kOobHazard, oob_cumulative_hazard>(),
    fastcall_method<kOobWeights, oob_forest_weights<korvane::StepFunction>>(),
    fastcall_method<kInBag, in_bag<korvane::StepFunction>>(),
    fastcall_method<kHonestEstimation, honest_estimation<korvane::StepFunction>>(),
    fastcall_method<kApply, apply<korvane::StepFunction>>(),
    fastcall_method<kTreeApply, tree_apply<korvane::StepFunction>>(),
    fastcall_method<kTreeNodes, tree_nodes<korvane::StepFunction>>(),
    fastcall_method<kTreeHazard, tree_cumulative_hazard>(),
    fastcall_method<kSplitImportance, split_importance<korvane::StepFunction>>(),
    kEndOfMethods,
};

PyMethodDef gradient_methods[] = {
    fastcall_method<kGradientWeights, forest_weights<korvane::NoPayload>>(),
    fastcall_method<kGradientWeightsOne, forest_weights_one<korvane::NoPayload>>(),
    fastcall_method<kOobWeights, oob_forest_weights<korvane::NoPayload>>(),
    fastcall_method<kInBag, in_bag<korvane::NoPayload>>(),
    fastcall_method<kHonestEstimation, honest_estimation<korvane::NoPayload>>(),
    fastcall_method<kApply, apply<korvane::NoPayload>>(),
    fastcall_method<kTreeApply, tree_apply<korvane::NoPayload>>(),
    fastcall_method<kTreeNodes, tree_nodes<korvane::NoPayload>>(),
    fastcall_method<kSplitImportance, split_importance<korvane::NoPayload>>(),
    fastcall_method<kWeightedSums, weighted_sums>(),
    fastcall_method<kOobWeightedSums, oob_weighted_sums>(),
    fastcall_method<kTreeWeightedSums, tree_weighted_sums>(),
    kEndOfMethods,
};

PyTypeObject* log_rank_class = nullptr;
PyTypeObject* gradient_class = nullptr;

}  // namespace

std::span<PyMethodDef> forest_functions() { return functions; }

PyTypeObject* log_rank_survival_forest_class() {
  return class_once(
      log_rank_class,
      {"korvane._korvane_core.LogRankSurvivalForest",
       "Immutable handle to a fitted random survival forest.", sizeof(PyLogRankSurvivalForest),
       dealloc_owner<PyLogRankSurvivalForest>, guarded<repr<korvane::StepFunction>>,
       log_rank_methods, properties<korvane::StepFunction>});
}

PyTypeObject* gradient_forest_class() {
  return class_once(
      gradient_class,
      {"korvane._korvane_core.GradientForest",
       "Immutable handle to a fitted gradient (partition-only) forest.\n\n"
       "Predictions are not computed from per-leaf payloads (there are none)\n"
       "but through `forest_weights`, which downstream code in the `pelidor`\n"
       "package combines with the per-training-row pseudo-outcomes.",
       sizeof(PyGradientForest), dealloc_owner<PyGradientForest>, guarded<repr<korvane::NoPayload>>,
       gradient_methods, properties<korvane::NoPayload>});
}

}  // namespace korvane::python
