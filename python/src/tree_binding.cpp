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
#include "korvane/node_table.hpp"
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

constexpr auto kApply =
    method("_apply", std::tuple{kQueryX}, "The leaf each row of `X` reaches, uint32 `(n,)`.");

PyObject* apply(PyObject* self, const Arguments<kApply>& arguments) {
  const auto& tree = tree_of(self);
  const korvane::MatrixView x = weights_query(get<"X">(arguments), "tree", tree.n_features);
  return result_array(korvane::apply(tree, x));
}

constexpr auto kNodes =
    method("_nodes", std::tuple{},
           "The tree's nodes in scikit-learn's layout (depth-first pre-order, root\n"
           "0): a dict of arrays children_left, children_right (-1 at a leaf),\n"
           "feature (-2 at a leaf), threshold (-2.0 at a leaf), impurity (the\n"
           "split's log-rank statistic, 0 at a leaf), missing_go_to_left and leaf\n"
           "(the leaf's index as `_apply` numbers it, -1 at a split). The tree\n"
           "keeps no row counts.");

PyObject* nodes(PyObject* self, const Arguments<kNodes>&) {
  return node_table_dict(korvane::node_table(tree_of(self)));
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

constexpr auto kFit =
    function("fit_log_rank_tree", kTreeParameters,
             "Fit a single log-rank survival tree.\n\n"
             "When `honesty=True`, the training samples are shuffled and split into a\n"
             "splitting set (drives the log-rank score at each node) and an estimation\n"
             "set (drives the Nelson-Aalen leaf hazard). See Wager & Athey (2018) and\n"
             "Athey, Tibshirani & Wager (2019) on honest trees.");

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
    fastcall_method<kNodes, nodes>(),
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
  return class_once(
      tree_class,
      {"korvane._korvane_core.LogRankSurvivalTree",
       "Immutable handle to a fitted log-rank survival tree.", sizeof(PyLogRankSurvivalTree),
       dealloc_owner<PyLogRankSurvivalTree>, guarded<repr>, methods, properties});
}

}  // namespace korvane::python
