// The log-rank survival forest and the gradient forest: one Forest template
// over the leaf payload, so both classes share their properties, weights and
// repr, and differ in their fits, docstrings and the log-rank prediction.

#include <cstdint>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "boundary.hpp"
#include "declaration.hpp"
#include "doc_text.hpp"
#include "fit_arguments.hpp"
#include "korvane/criteria/gradient.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/forest.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/leaf_estimates.hpp"
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
  const OwnedRef name = checked(PyType_GetName(Py_TYPE(self)));
  return PyUnicode_FromFormat("%U(n_trees=%zu, n_features=%u, n_train_samples=%zu)", name.get(),
                              forest.n_trees(), forest.n_features, forest.n_train_samples);
}

template <class Payload, const auto& D>
PyObject* forest_weights(PyObject* self, const Arguments<D>& arguments) {
  const auto& forest = forest_of<Payload>(self);
  const korvane::MatrixView x = weights_query(get<"X">(arguments), "forest", forest.n_features);
  std::vector<double> weights = run_pooled(
      [&](korvane::CallControl& control) { return korvane::forest_weights(forest, x, control); });
  return result_array(std::move(weights), x.n_rows, forest.n_train_samples);
}

template <class Payload, const auto& D>
PyObject* forest_weights_one(PyObject* self, const Arguments<D>& arguments) {
  const auto& forest = forest_of<Payload>(self);
  const korvane::VectorView x = weights_one_query(get<"x">(arguments), "forest", forest.n_features);
  std::vector<double> weights = run_pooled(
      [&](korvane::CallControl& control) { return korvane::forest_weights(forest, x, control); });
  return result_array(std::move(weights));
}

constexpr auto kLogRankPredictDoc = join_text(
    "Tree-averaged cumulative hazard of each row of `X` at every time in `times`.\n\n"
    "Each tree gives the Nelson-Aalen estimate of the leaf the row\n"
    "reaches; the forest averages them.\n\n"
    "Parameters\n"
    "----------\n",
    kQueryXDoc, kTimesDoc,
    "\n"
    "Returns\n"
    "-------\n"
    "hazard : ndarray of float64, shape (n_queries, n_times)\n");

constexpr auto kLogRankPredict =
    method("predict_cumulative_hazard", std::tuple{kQueryX, kTimes}, kLogRankPredictDoc.data());

PyObject* predict(PyObject* self, const Arguments<kLogRankPredict>& arguments) {
  return predict_hazard(forest_of<korvane::StepFunction>(self), "forest", arguments);
}

// Ranks the covariates and grows the forest on the pool. `make_criterion`
// builds the criterion there too, since a criterion may rank its outcome.
template <class MakeCriterion, class Leaves>
PyObject* grow_forest(PyTypeObject* type, const korvane::MatrixView& x,
                      MakeCriterion&& make_criterion, const Leaves& leaves,
                      const korvane::ForestParams& params, std::uint64_t seed,
                      const CallOptions& options) {
  auto forest = run_pooled(
      [&](korvane::CallControl& control) {
        return korvane::grow_forest(korvane::Covariates(x, control), make_criterion(), leaves,
                                    params, seed, control);
      },
      options);
  return new_owner<PyForest<typename Leaves::Payload>>(type, std::move(forest)).release();
}

// What the two forests' fits share in their docstrings.
constexpr char kForestSettingsDoc[] =
    "max_features : int or {'sqrt', 'all'}, optional\n"
    "    Covariates drawn at each node: a count, floor(sqrt(n_features)), or\n"
    "    all of them; None is 'sqrt'.\n";
constexpr char kForestNotesDoc[] =
    "\n"
    "Notes\n"
    "-----\n"
    "Trees are fitted in parallel, each from its own seed derived\n"
    "deterministically from `seed`, so the forest is identical whatever\n"
    "the number of threads.\n";

constexpr auto kFitLogRankDoc = join_text(
    "Fit a random survival forest with log-rank splitting.\n\n"
    "Each tree is grown on a sample of the rows as `fit_log_rank_tree`\n"
    "grows a tree; the forest predicts the average of the trees'\n"
    "Nelson-Aalen cumulative hazards.\n\n"
    "Parameters\n"
    "----------\n",
    kTrainingXDoc, kSurvivalTargetDoc,
    "n_trees : int, default=100\n"
    "    Number of trees.\n"
    "min_samples_leaf : int, default=15\n"
    "    Fewest rows a leaf may hold; a row drawn more than once counts once\n"
    "    per draw.\n",
    kMaxDepthDoc, kForestSettingsDoc,
    "bootstrap : bool, default=True\n"
    "    Draw each tree's rows with replacement; otherwise without.\n"
    "subsample_fraction : float, default=1.0\n"
    "    Rows drawn per tree as a share of all rows, in (0, 1], rounded to\n"
    "    the nearest count (at least 1).\n"
    "honesty : bool, default=False\n"
    "    Split each tree's rows in two: one part chooses the splits, the\n"
    "    other estimates the leaves' hazards.\n",
    kHonestyFractionDoc, kSeedDoc,
    "\n"
    "Returns\n"
    "-------\n"
    "LogRankSurvivalForest\n",
    kForestNotesDoc);

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
    function("fit_log_rank_forest", kLogRankParameters, kFitLogRankDoc.data());

template <const auto& D>
PyObject* log_rank_forest(const Arguments<D>& arguments, const CallOptions& options) {
  const auto inputs = checked_forest_inputs(arguments);
  // A log-rank forest: log-rank splits, Nelson–Aalen leaves.
  return grow_forest(
      log_rank_survival_forest_class(), inputs.x,
      [&] { return korvane::LogRankCriterion(inputs.time, inputs.event); },
      korvane::NelsonAalenLeaves{inputs.time, inputs.event}, inputs.params, inputs.seed, options);
}

PyObject* fit_log_rank_forest(PyObject*, const Arguments<kFitLogRank>& arguments) {
  return log_rank_forest(arguments, {});
}

// The run settings the private fits add to the public ones.
constexpr auto kRunParameters = std::tuple{keyword("n_threads", "None", to_thread_count),
                                           keyword("progress", "None", to_progress)};

template <const auto& D>
CallOptions call_options(const Arguments<D>& arguments, std::uint64_t n_trees) {
  return {get<"n_threads">(arguments), get<"progress">(arguments), n_trees};
}

constexpr auto kGrowLogRank =
    function("_grow_log_rank_forest", std::tuple_cat(kLogRankParameters, kRunParameters),
             "fit_log_rank_forest on a chosen number of threads, with\n"
             "progress reports.\n\n"
             "`n_threads`: None runs on the process-wide pool (sized by\n"
             "RAYON_NUM_THREADS when set, else by the processors\n"
             "available), k on k threads of the call's own, -1 on one\n"
             "thread per available processor; it never changes the\n"
             "forest. `progress(trees_finished, total)` is called from\n"
             "the calling thread at most ten times a second, and once\n"
             "all trees are grown; an exception it raises stops the fit.");

PyObject* grow_log_rank_forest(PyObject*, const Arguments<kGrowLogRank>& arguments) {
  return log_rank_forest(arguments, call_options(arguments, get<"n_trees">(arguments)));
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

constexpr auto kFitGradientDoc = join_text(
    "Fit a partition-only (\"gradient\") forest on `(X, pseudo_outcome)`.\n\n"
    "Each tree uses variance-reduction splitting on the per-sample\n"
    "pseudo-outcome (no log-rank, no survival times). Predictions come\n"
    "through `GradientForest.forest_weights`, not per-leaf payloads.\n\n"
    "Parameters\n"
    "----------\n",
    kTrainingXDoc,
    "pseudo_outcome : ndarray of float64, shape (n_samples,)\n"
    "    The value each row contributes to the split criterion.\n"
    "n_trees : int, default=500\n"
    "    Number of trees.\n"
    "min_samples_leaf : int, default=5\n"
    "    Fewest rows a leaf may hold.\n",
    kMaxDepthDoc, kForestSettingsDoc,
    "bootstrap : bool, default=False\n"
    "    Draw each tree's rows with replacement; otherwise without.\n"
    "subsample_fraction : float, default=0.5\n"
    "    Rows drawn per tree as a share of all rows, in (0, 1], rounded to\n"
    "    the nearest count (at least 1).\n"
    "honesty : bool, default=True\n"
    "    Split each tree's rows in two: one part chooses the splits, the\n"
    "    other is recorded in the leaves and carries the forest weights.\n",
    kHonestyFractionDoc, kSeedDoc,
    "\n"
    "Returns\n"
    "-------\n"
    "GradientForest\n",
    kForestNotesDoc);

constexpr auto kFitGradient =
    function("fit_gradient_forest", kGradientParameters, kFitGradientDoc.data());

template <const auto& D>
PyObject* gradient_forest(const Arguments<D>& arguments, const CallOptions& options) {
  const GradientInputs inputs = checked_gradient_inputs(arguments);
  // A gradient forest: variance-reduction splits of the pseudo-outcome, no leaf
  // estimates (it answers through forest weights).
  return grow_forest(
      gradient_forest_class(), inputs.x,
      [&] { return korvane::GradientCriterion(inputs.pseudo_outcome); }, korvane::NoLeaves{},
      inputs.params, inputs.seed, options);
}

PyObject* fit_gradient_forest(PyObject*, const Arguments<kFitGradient>& arguments) {
  return gradient_forest(arguments, {});
}

constexpr auto kGrowGradient =
    function("_grow_gradient_forest", std::tuple_cat(kGradientParameters, kRunParameters),
             "fit_gradient_forest on a chosen number of threads, with\n"
             "progress reports, as _grow_log_rank_forest.");

PyObject* grow_gradient_forest(PyObject*, const Arguments<kGrowGradient>& arguments) {
  return gradient_forest(arguments, call_options(arguments, get<"n_trees">(arguments)));
}

PyMethodDef functions[] = {
    fastcall_method<kFitLogRank, fit_log_rank_forest>(),
    fastcall_method<kFitGradient, fit_gradient_forest>(),
    fastcall_method<kGrowLogRank, grow_log_rank_forest>(),
    fastcall_method<kGrowGradient, grow_gradient_forest>(),
};

template <class Payload>
PyGetSetDef properties[] = {
    read_only_property<n_trees<Payload>>("n_trees"),
    read_only_property<n_features<Payload>>("n_features"),
    read_only_property<n_train_samples<Payload>>("n_train_samples"),
    kEndOfProperties,
};

// Both forests answer forest-weight queries alike, so they share these
// declarations.
constexpr auto kWeightsMethodDoc = join_text(
    "Forest weights of the training rows for each row of `X`.\n\n"
    "Parameters\n"
    "----------\n",
    kQueryXDoc, "\n", kWeightsDoc);

constexpr auto kWeights = method("forest_weights", std::tuple{kQueryX}, kWeightsMethodDoc.data());

constexpr auto kWeightsOneMethodDoc = join_text(
    "Forest weights of the training rows for one query row.\n\n"
    "Parameters\n"
    "----------\n",
    kQueryRowDoc, "\n", kWeightsOneDoc);

constexpr auto kWeightsOne =
    method("forest_weights_one", std::tuple{kQueryRow}, kWeightsOneMethodDoc.data());

PyMethodDef log_rank_methods[] = {
    fastcall_method<kLogRankPredict, predict>(),
    fastcall_method<kWeights, forest_weights<korvane::StepFunction>>(),
    fastcall_method<kWeightsOne, forest_weights_one<korvane::StepFunction>>(),
    kEndOfMethods,
};

PyMethodDef gradient_methods[] = {
    fastcall_method<kWeights, forest_weights<korvane::NoPayload>>(),
    fastcall_method<kWeightsOne, forest_weights_one<korvane::NoPayload>>(),
    kEndOfMethods,
};

constexpr char kForestAttributesDoc[] =
    "Attributes\n"
    "----------\n"
    "n_trees : int\n"
    "    Number of trees.\n"
    "n_features : int\n"
    "    Number of covariates the forest was fitted on.\n"
    "n_train_samples : int\n"
    "    Number of training rows, the length of each weight vector.\n";

constexpr auto kLogRankForestClassDoc = join_text(
    "Immutable handle to a fitted random survival forest.\n\n"
    "Made by `fit_log_rank_forest`.\n\n",
    kForestAttributesDoc);

constexpr auto kGradientForestClassDoc = join_text(
    "Immutable handle to a fitted gradient (partition-only) forest.\n\n"
    "Made by `fit_gradient_forest`. Predictions are not computed from\n"
    "per-leaf payloads (there are none) but through `forest_weights`, which\n"
    "downstream code in the `pelidor` package combines with the\n"
    "per-training-row pseudo-outcomes.\n\n",
    kForestAttributesDoc);

PyTypeObject* log_rank_class = nullptr;
PyTypeObject* gradient_class = nullptr;

}  // namespace

std::span<PyMethodDef> forest_functions() { return functions; }

PyTypeObject* log_rank_survival_forest_class() {
  return class_once(
      log_rank_class,
      {"korvane._korvane_core.LogRankSurvivalForest", kLogRankForestClassDoc.data(),
       sizeof(PyLogRankSurvivalForest), dealloc_owner<PyLogRankSurvivalForest>,
       guarded<repr<korvane::StepFunction>>, log_rank_methods, properties<korvane::StepFunction>});
}

PyTypeObject* gradient_forest_class() {
  return class_once(
      gradient_class,
      {"korvane._korvane_core.GradientForest", kGradientForestClassDoc.data(),
       sizeof(PyGradientForest), dealloc_owner<PyGradientForest>, guarded<repr<korvane::NoPayload>>,
       gradient_methods, properties<korvane::NoPayload>});
}

}  // namespace korvane::python
