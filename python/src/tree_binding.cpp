#include <span>
#include <tuple>
#include <utility>

#include "bindings.hpp"
#include "boundary.hpp"
#include "declaration.hpp"
#include "doc_text.hpp"
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

constexpr auto kPredictDoc = join_text(
    "Predicted cumulative hazard of each row of `X` at every time in `times`.\n\n"
    "Each row gets the Nelson-Aalen estimate of the leaf it reaches.\n\n"
    "Parameters\n"
    "----------\n",
    kQueryXDoc, kTimesDoc,
    "\n"
    "Returns\n"
    "-------\n"
    "hazard : ndarray of float64, shape (n_queries, n_times)\n");

constexpr auto kPredict =
    method("predict_cumulative_hazard", std::tuple{kQueryX, kTimes}, kPredictDoc.data());

PyObject* predict(PyObject* self, const Arguments<kPredict>& arguments) {
  return predict_hazard(tree_of(self), "tree", arguments);
}

constexpr auto kFitDoc = join_text(
    "Fit a single log-rank survival tree.\n\n"
    "Each node draws `max_features` covariates and takes, among the splits\n"
    "that leave at least `min_samples_leaf` rows on each side, the one with\n"
    "the largest log-rank statistic; each leaf holds the Nelson-Aalen\n"
    "cumulative hazard of its rows.\n\n"
    "Parameters\n"
    "----------\n",
    kTrainingXDoc, kSurvivalTargetDoc,
    "min_samples_leaf : int, default=15\n"
    "    Fewest rows a leaf may hold.\n",
    kMaxDepthDoc,
    "max_features : int or {'sqrt', 'all'}, optional\n"
    "    Covariates drawn at each node: a count, floor(sqrt(n_features)), or\n"
    "    all of them; None draws all of them.\n"
    "honesty : bool, default=False\n"
    "    Shuffle the rows and split them in two: one part chooses the splits,\n"
    "    the other estimates the leaves' hazards.\n",
    kHonestyFractionDoc, kSeedDoc,
    "\n"
    "Returns\n"
    "-------\n"
    "LogRankSurvivalTree\n\n"
    "Notes\n"
    "-----\n"
    "Honest trees are studied by Wager & Athey (2018) and Athey, Tibshirani &\n"
    "Wager (2019).\n");
constexpr auto kApply =
    method("_apply", std::tuple{kQueryX}, "The leaf each row of `X` reaches, uint32 `(n,)`.");

PyObject* apply(PyObject* self, const Arguments<kApply>& arguments) {
  const auto& tree = tree_of(self);
  const korvane::MatrixView x = weights_query(get<"X">(arguments), "tree", tree.n_features);
  return result_array(korvane::apply(tree, x));
}

constexpr auto kSplitImportance =
    method("_split_importance", std::tuple{},
           "Per feature, the sum of the log-rank statistics of the splits on it;\n"
           "not normalised. `(n_features,)`.");

PyObject* split_importance(PyObject* self, const Arguments<kSplitImportance>&) {
  return result_array(korvane::split_importance(tree_of(self)));
}

constexpr auto kTreeParameters =
    std::tuple{kTrainingX,
               kEventTime,
               kEventIndicator,
               keyword("min_samples_leaf", "15", to_u64),
               kMaxDepth,
               keyword("max_features", "None", MaxFeaturesOr{&korvane::MaxFeatures::all}),
               keyword("honesty", "False", to_flag),
               kHonestyFraction,
               kSeed};

constexpr auto kFit = function("fit_log_rank_tree", kTreeParameters, kFitDoc.data());

// A log-rank tree: log-rank splits, Nelson–Aalen leaves, both with the fit's
// weights (none for the public fit).
PyObject* log_rank_tree(const LogRankInputs<korvane::TreeParams>& inputs,
                        const CallOptions& options = {}) {
  const std::span<const double> weight = inputs.weights.values();
  auto tree = run_pooled(
      [&](korvane::CallControl& control) {
        const korvane::LogRankCriterion criterion(inputs.time, inputs.event, weight);
        auto fitted = korvane::fit_tree(
            korvane::Covariates(inputs.x, control, inputs.missing_values), criterion,
            korvane::NelsonAalenLeaves(inputs.time, inputs.event, weight, criterion.time_ranks()),
            inputs.params, inputs.seed, control, weight);
        control.finish_tree();
        return fitted;
      },
      options);
  return new_owner<PyLogRankSurvivalTree>(log_rank_survival_tree_class(), std::move(tree))
      .release();
}

PyObject* fit_log_rank_tree(PyObject*, const Arguments<kFit>& arguments) {
  return log_rank_tree(checked_tree_inputs(arguments));
}

constexpr auto kGrowDoc = join_text(
    "fit_log_rank_tree with sample weights, on a chosen number of threads,\n"
    "with progress reports (one tree).\n\n"
    "Parameters\n"
    "----------\n"
    "As fit_log_rank_tree, and\n",
    kSampleWeightDoc,
    "n_threads : int, optional\n"
    "    None, -1 (all cores) or a count; it never changes the tree.\n"
    "progress : callable, optional\n"
    "    progress(trees_finished, total), called from the calling thread.\n"
    "missing_values : bool, default=False\n"
    "    Accept NaN in `X` as a missing value (infinite values are refused\n"
    "    instead): each split sends the rows missing its feature to the side\n"
    "    that scores best and records it; a split whose rows all held the\n"
    "    value sends NaN to its larger child.\n",
    kGrowthDoc);

constexpr auto kGrow =
    function("_grow_log_rank_tree",
             std::tuple_cat(kTreeParameters,
                            std::tuple{kSampleWeight, keyword("n_threads", "None", to_thread_count),
                                       keyword("progress", "None", to_progress),
                                       keyword("missing_values", "False", to_flag)},
                            kGrowthParameters),
             kGrowDoc.data());

PyObject* grow_log_rank_tree(PyObject*, const Arguments<kGrow>& arguments) {
  const auto inputs = checked_tree_inputs(arguments);
  return log_rank_tree(inputs,
                       {get<"n_threads">(arguments), get<"progress">(arguments), std::size_t{1}});
}

PyMethodDef functions[] = {
    fastcall_method<kFit, fit_log_rank_tree>(),
    fastcall_method<kGrow, grow_log_rank_tree>(),
};

PyMethodDef methods[] = {
    fastcall_method<kPredict, predict>(),
    fastcall_method<kApply, apply>(),
    fastcall_method<kSplitImportance, split_importance>(),
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
  return class_once(tree_class,
                    {"korvane._korvane_core.LogRankSurvivalTree",
                     "Immutable handle to a fitted log-rank survival tree.\n\n"
                     "Made by `fit_log_rank_tree`.\n\n"
                     "Attributes\n"
                     "----------\n"
                     "n_features : int\n"
                     "    Number of covariates the tree was fitted on.\n"
                     "n_nodes : int\n"
                     "    Number of nodes, leaves included.\n"
                     "n_leaves : int\n"
                     "    Number of leaves.\n"
                     "depth : int\n"
                     "    Greatest depth of a leaf (the root is at depth 0).\n",
                     sizeof(PyLogRankSurvivalTree), dealloc_owner<PyLogRankSurvivalTree>,
                     guarded<repr>, methods, properties});
}

}  // namespace korvane::python
