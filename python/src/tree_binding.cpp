#include <span>
#include <tuple>
#include <utility>

#include "bindings.hpp"
#include "boundary.hpp"
#include "declaration.hpp"
#include "fit_arguments.hpp"
#include "korvane/builder.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/leaf_estimates.hpp"
#include "model_class.hpp"
#include "queries.hpp"

namespace korvane::python {

namespace {

using PyLogRankSurvivalTree = OwnerObject<korvane::Tree<korvane::StepFunction>>;

const korvane::Tree<korvane::StepFunction>& tree_of(PyObject* self) {
  return value_of<PyLogRankSurvivalTree>(self);
}

PyObject* n_features(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(tree_of(self).n_features);
}

PyObject* n_nodes(PyObject* self, void*) { return PyLong_FromSize_t(tree_of(self).n_nodes()); }

PyObject* n_leaves(PyObject* self, void*) { return PyLong_FromSize_t(tree_of(self).n_leaves()); }

PyObject* depth(PyObject* self, void*) { return PyLong_FromUnsignedLong(tree_of(self).depth()); }

PyObject* repr(PyObject* self) {
  const auto& tree = tree_of(self);
  return PyUnicode_FromFormat("LogRankSurvivalTree(n_features=%u, n_leaves=%zu, depth=%u)",
                              tree.n_features, tree.n_leaves(), tree.depth());
}

constexpr auto kPredict =
    method("predict_cumulative_hazard", std::tuple{kQueryX, kTimes},
           "Predict the cumulative hazard $\\hat\\Lambda(t \\mid x)$ for each row\n"
           "of `X` at every time in `times`. Returns an `(n, k)` array.");

PyObject* predict(PyObject* self, const Arguments<kPredict>& arguments) {
  return predict_hazard(tree_of(self), "tree", arguments);
}

constexpr auto kFit =
    function("fit_log_rank_tree",
             std::tuple{kTrainingX, kEventTime, kEventIndicator,
                        keyword("min_samples_leaf", "15", to_u64), kMaxDepth,
                        keyword("max_features", "None", MaxFeaturesOr{&korvane::MaxFeatures::all}),
                        keyword("honesty", "False", to_flag), kHonestyFraction, kSeed},
             "Fit a single log-rank survival tree.\n\n"
             "When `honesty=True`, the training samples are shuffled and split into a\n"
             "splitting set (drives the log-rank score at each node) and an estimation\n"
             "set (drives the Nelson-Aalen leaf hazard). See Wager & Athey (2018) and\n"
             "Athey, Tibshirani & Wager (2019) on honest trees.");

PyObject* fit_log_rank_tree(PyObject*, const Arguments<kFit>& arguments) {
  const auto inputs = checked_tree_inputs(arguments);
  // A log-rank tree: log-rank splits, Nelson–Aalen leaves.
  auto tree = without_gil([&] {
    return korvane::fit_tree(
        korvane::Covariates(inputs.x), korvane::LogRankCriterion(inputs.time, inputs.event),
        korvane::NelsonAalenLeaves{inputs.time, inputs.event}, inputs.params, inputs.seed);
  });
  return new_owner<PyLogRankSurvivalTree>(log_rank_survival_tree_class(), std::move(tree))
      .release();
}

PyMethodDef functions[] = {
    fastcall_method<kFit, fit_log_rank_tree>(),
};

PyMethodDef methods[] = {
    fastcall_method<kPredict, predict>(),
    kEndOfMethods,
};

PyGetSetDef properties[] = {
    read_only_property<n_features>("n_features"),
    read_only_property<n_nodes>("n_nodes"),
    read_only_property<n_leaves>("n_leaves"),
    read_only_property<depth>("depth"),
    kEndOfProperties,
};

PyTypeObject* tree_class = nullptr;

}  // namespace

std::span<PyMethodDef> tree_functions() { return functions; }

PyTypeObject* log_rank_survival_tree_class() {
  return class_once(
      tree_class,
      {"korvane._korvane_core.LogRankSurvivalTree",
       "Immutable handle to a fitted log-rank survival tree.", sizeof(PyLogRankSurvivalTree),
       dealloc_owner<PyLogRankSurvivalTree>, guarded<repr>, methods, properties});
}

}  // namespace korvane::python
