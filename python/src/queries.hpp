#pragma once

// Argument handling shared by the model classes' query methods. Query arrays
// may have any layout; only their shape against the model is checked.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "korvane/data.hpp"
#include "korvane/hazard.hpp"
#include "korvane/node_table.hpp"
#include "python.hpp"
#include "result_array.hpp"

namespace korvane::python {

// The parameters of the query methods.
inline constexpr auto kQueryX = positional("X", ArrayOf{2, NPY_FLOAT64});
inline constexpr auto kQueryRow = positional("x", ArrayOf{1, NPY_FLOAT64});
inline constexpr auto kTimes = positional("times", ArrayOf{1, NPY_FLOAT64});

// The checked arguments of each query method. `model` names the model in the
// feature-count message ("X has 3 features but tree was fit on 4").
struct HazardQuery {
  korvane::MatrixView x;
  std::span<const double> times;
};
HazardQuery hazard_query(PyArrayObject* x, PyArrayObject* times, const char* model,
                         std::size_t n_features);
korvane::MatrixView weights_query(PyArrayObject* x, const char* model, std::size_t n_features);
korvane::VectorView weights_one_query(PyArrayObject* x, const char* model, std::size_t n_features);

// A tree's node table as a dict of arrays named as scikit-learn's Tree names
// them: children_left, children_right, feature, threshold (int64 and float64),
// impurity (the split's score), missing_go_to_left (bool), leaf (the leaf's
// index, -1 at a split) and, when the table counts them, n_node_samples.
PyObject* node_table_dict(korvane::NodeTable&& table);

// predict_cumulative_hazard(X, times) of a tree or a log-rank forest.
template <class Model, const auto& D>
PyObject* predict_hazard(const Model& model, const char* model_noun,
                         const Arguments<D>& arguments) {
  const HazardQuery query =
      hazard_query(get<"X">(arguments), get<"times">(arguments), model_noun, model.n_features);
  std::vector<double> hazard = run_pooled([&](korvane::CallControl& control) {
    return korvane::predict_cumulative_hazard(model, query.x, query.times, control);
  });
  return result_array(std::move(hazard), query.x.n_rows, query.times.size());
}

}  // namespace korvane::python
