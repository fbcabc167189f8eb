// The log-rank survival forest and the gradient forest: one Forest template
// over the leaf payload, so both classes share their properties, weights and
// repr, and differ in their fits, docstrings and the log-rank prediction.

#include <cstdint>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "boundary.hpp"
#include "fit_arguments.hpp"
#include "korvane/forest.hpp"
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
  return PyLong_FromSize_t(forest_of<Payload>(self).n_train_samples());
}

template <class Payload>
PyObject* repr(PyObject* self) {
  const auto& forest = forest_of<Payload>(self);
  const OwnedRef name = checked(PyType_GetName(Py_TYPE(self)));
  return PyUnicode_FromFormat("%U(n_trees=%zu, n_features=%u, n_train_samples=%zu)", name.get(),
                              forest.n_trees(), forest.n_features, forest.n_train_samples());
}

template <class Payload>
PyObject* forest_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr const char* parameters[] = {"X"};
  static const Signature signature{"forest_weights", parameters, 1};
  const auto& forest = forest_of<Payload>(self);
  const korvane::MatrixView x =
      weights_query(bind(signature, args, nargs, kwnames), "forest", forest.n_features);
  std::vector<double> weights =
      run_pooled([&](korvane::CallControl&) { return korvane::forest_weights_batch(forest, x); });
  return result_array(std::move(weights), x.n_rows, forest.n_train_samples());
}

template <class Payload>
PyObject* forest_weights_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr const char* parameters[] = {"x"};
  static const Signature signature{"forest_weights_one", parameters, 1};
  const auto& forest = forest_of<Payload>(self);
  const korvane::VectorView x =
      weights_one_query(bind(signature, args, nargs, kwnames), "forest", forest.n_features);
  std::vector<double> weights = run_pooled([&](korvane::CallControl&) { return korvane::forest_weights(forest, x); });
  return result_array(std::move(weights));
}

PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return predict_hazard(forest_of<korvane::StepFunction>(self), "forest", args, nargs, kwnames);
}

template <class Payload, class Criterion>
PyObject* grow_forest(PyTypeObject* type, const korvane::SurvivalData& data,
                      const Criterion& criterion, const korvane::ForestParams& params,
                      std::uint64_t seed, const RunSettings& settings) {
  auto forest = run_pooled(
      [&](korvane::CallControl&) {
        return korvane::Forest<Payload>::fit(data, criterion, params, seed);
      },
      settings.options(params.n_trees));
  return new_owner<PyForest<Payload>>(type, std::move(forest)).release();
}

const ForestDefaults kLogRankDefaults{.n_trees = 100,
                                      .tree = {.min_samples_leaf = 15,
                                               .honesty = false,
                                               .max_features = korvane::MaxFeatures::sqrt()},
                                      .bootstrap = true,
                                      .subsample_fraction = 1.0};

constexpr const char* kLogRankFitParameters[] = {
    "X",         "event_time", "event_indicator",    "n_trees", "min_samples_leaf",
    "max_depth", "max_features", "bootstrap", "subsample_fraction", "honesty",
    "honesty_fraction", "seed"};

const Signature kLogRankFitSignature{"fit_log_rank_forest", kLogRankFitParameters, 3};

PyObject* log_rank_forest(const BoundArguments& arguments, const RunSettings& settings) {
  const auto inputs = checked_forest_inputs(arguments, kLogRankDefaults);
  return grow_forest<korvane::StepFunction>(log_rank_survival_forest_class(), inputs.data,
                                            korvane::LogRankCriterion{}, inputs.params,
                                            inputs.seed, settings);
}

PyObject* fit_log_rank_forest(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return log_rank_forest(bind(kLogRankFitSignature, args, nargs, kwnames), {});
}

constexpr const char* kLogRankGrowParameters[] = {
    "X",         "event_time", "event_indicator",    "n_trees", "min_samples_leaf",
    "max_depth", "max_features", "bootstrap", "subsample_fraction", "honesty",
    "honesty_fraction", "seed", "n_threads", "progress"};

const Signature kLogRankGrowSignature{"_grow_log_rank_forest", kLogRankGrowParameters, 3};

PyObject* grow_log_rank_forest(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  const BoundArguments arguments = bind(kLogRankGrowSignature, args, nargs, kwnames);
  return log_rank_forest(arguments, run_settings(arguments));
}

const ForestDefaults kGradientDefaults{
    .n_trees = 500,
    .tree = {.min_samples_leaf = 5, .honesty = true, .max_features = korvane::MaxFeatures::sqrt()},
    .bootstrap = false,
    .subsample_fraction = 0.5};

constexpr const char* kGradientFitParameters[] = {
    "X",         "pseudo_outcome",     "n_trees", "min_samples_leaf", "max_depth", "max_features",
    "bootstrap", "subsample_fraction", "honesty", "honesty_fraction", "seed"};

const Signature kGradientFitSignature{"fit_gradient_forest", kGradientFitParameters, 2};

PyObject* gradient_forest(const BoundArguments& arguments, const RunSettings& settings) {
  const GradientInputs inputs = checked_gradient_inputs(arguments, kGradientDefaults);
  // The record needs times and indicators; the gradient criterion never reads them.
  const std::vector<double> placeholder_time(inputs.x.n_rows, 0.0);
  const std::vector<std::uint8_t> placeholder_event(inputs.x.n_rows, 0);
  const korvane::SurvivalData data(inputs.x, placeholder_time, placeholder_event);
  return grow_forest<korvane::NoPayload>(gradient_forest_class(), data,
                                         korvane::GradientCriterion(inputs.pseudo_outcome),
                                         inputs.params, inputs.seed, settings);
}

PyObject* fit_gradient_forest(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return gradient_forest(bind(kGradientFitSignature, args, nargs, kwnames), {});
}

constexpr const char* kGradientGrowParameters[] = {
    "X",         "pseudo_outcome",     "n_trees", "min_samples_leaf", "max_depth", "max_features",
    "bootstrap", "subsample_fraction", "honesty", "honesty_fraction", "seed", "n_threads",
    "progress"};

const Signature kGradientGrowSignature{"_grow_gradient_forest", kGradientGrowParameters, 2};

PyObject* grow_gradient_forest(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  const BoundArguments arguments = bind(kGradientGrowSignature, args, nargs, kwnames);
  return gradient_forest(arguments, run_settings(arguments));
}

template <class Payload>
PyGetSetDef properties[] = {
    read_only_property<n_trees<Payload>>("n_trees"),
    read_only_property<n_features<Payload>>("n_features"),
    read_only_property<n_train_samples<Payload>>("n_train_samples"),
    kEndOfProperties,
};

PyMethodDef log_rank_methods[] = {
    fastcall_method<predict>(
        "predict_cumulative_hazard",
        "predict_cumulative_hazard($self, X, times)\n--\n\n"
        "Tree-averaged cumulative hazard $\\hat\\Lambda(t | x)$ for each row of\n"
        "`X` at every time in `times`. Returns an `(n, k)` array."),
    fastcall_method<forest_weights<korvane::StepFunction>>(
        "forest_weights",
        "forest_weights($self, X)\n--\n\n"
        "For each row of `X`, return an `(n_train,)` weight vector over the training samples.\n\n"
        "$$\n"
        R"(w_i(x) = \frac{1}{B} \sum_b \frac{\mathbb{1}\{\mathrm{leaf}_b(x) = \mathrm{leaf}_b(x_i)\}}{|\mathrm{leaf}_b(x)|})"
        "\n$$"),
    fastcall_method<forest_weights_one<korvane::StepFunction>>(
        "forest_weights_one",
        "forest_weights_one($self, x)\n--\n\n"
        "Forest weights for a single query point. Returns a `(n_train,)`\n"
        "array — convenience over [`forest_weights`] when there's only one\n"
        "query."),
    kEndOfMethods,
};

PyMethodDef gradient_methods[] = {
    fastcall_method<forest_weights<korvane::NoPayload>>(
        "forest_weights",
        "forest_weights($self, X)\n--\n\n"
        "Batched forest weights. Returns `(n_query, n_train)`."),
    fastcall_method<forest_weights_one<korvane::NoPayload>>(
        "forest_weights_one",
        "forest_weights_one($self, x)\n--\n\n"
        "Forest weights for a single query point. Returns `(n_train,)`."),
    kEndOfMethods,
};

PyTypeObject* log_rank_class = nullptr;
PyTypeObject* gradient_class = nullptr;

}  // namespace

PyMethodDef fit_log_rank_forest_function = fastcall_method<fit_log_rank_forest>(
    "fit_log_rank_forest",
    "fit_log_rank_forest(X, event_time, event_indicator, *, n_trees=100, min_samples_leaf=15, "
    "max_depth=None, max_features=None, bootstrap=True, subsample_fraction=1.0, honesty=False, "
    "honesty_fraction=0.5, seed=None)\n--\n\n"
    "Fit a random survival forest with log-rank splitting.\n\n"
    "Trees are fitted in parallel, each from its own seed derived\n"
    "deterministically from `seed`, so the forest is identical whatever\n"
    "the number of threads.");

PyMethodDef fit_gradient_forest_function = fastcall_method<fit_gradient_forest>(
    "fit_gradient_forest",
    "fit_gradient_forest(X, pseudo_outcome, *, n_trees=500, min_samples_leaf=5, max_depth=None, "
    "max_features=None, bootstrap=False, subsample_fraction=0.5, honesty=True, "
    "honesty_fraction=0.5, seed=None)\n--\n\n"
    "Fit a partition-only (\"gradient\") forest on `(X, pseudo_outcome)`.\n\n"
    "Each tree uses variance-reduction splitting on the per-sample\n"
    "pseudo-outcome (no log-rank, no survival times). Predictions come\n"
    "through [`PyGradientForest.forest_weights`], not per-leaf payloads.\n\n"
    "`pseudo_outcome` length must equal `X.shape[0]`.");

PyMethodDef grow_log_rank_forest_function = fastcall_method<grow_log_rank_forest>(
    "_grow_log_rank_forest",
    "_grow_log_rank_forest(X, event_time, event_indicator, *, n_trees=100, min_samples_leaf=15, "
    "max_depth=None, max_features=None, bootstrap=True, subsample_fraction=1.0, honesty=False, "
    "honesty_fraction=0.5, seed=None, n_threads=None, progress=None)\n--\n\n"
    "fit_log_rank_forest on a chosen number of threads, with progress reports.\n\n"
    "`n_threads`: None runs on the process-wide pool (sized by RAYON_NUM_THREADS\n"
    "when set, else by the processors available), k on k threads of the call's\n"
    "own, -1 on one thread per available processor. It never changes the\n"
    "forest. `progress(trees_finished, total)` is called from the calling\n"
    "thread at most ten times a second, and once all trees are grown; an\n"
    "exception it raises stops the fit.");

PyMethodDef grow_gradient_forest_function = fastcall_method<grow_gradient_forest>(
    "_grow_gradient_forest",
    "_grow_gradient_forest(X, pseudo_outcome, *, n_trees=500, min_samples_leaf=5, max_depth=None, "
    "max_features=None, bootstrap=False, subsample_fraction=0.5, honesty=True, "
    "honesty_fraction=0.5, seed=None, n_threads=None, progress=None)\n--\n\n"
    "fit_gradient_forest on a chosen number of threads, with progress reports\n"
    "(see _grow_log_rank_forest).");

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
