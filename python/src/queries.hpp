#pragma once

// Argument handling shared by the model classes' query methods. Query arrays
// may have any layout; only their shape against the model is checked.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "boundary.hpp"
#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/tree.hpp"
#include "python.hpp"
#include "result_array.hpp"

namespace korvane::python {

// The converted and checked arguments of each query method. `model` names the
// model in the feature-count message ("X has 3 features but tree was fit on 4").
struct HazardQuery {
  korvane::MatrixView x;
  std::span<const double> times;
};
HazardQuery hazard_query(const BoundArguments& arguments, const char* model,
                         std::size_t n_features);
korvane::MatrixView weights_query(const BoundArguments& arguments, const char* model,
                                  std::size_t n_features);
korvane::VectorView weights_one_query(const BoundArguments& arguments, const char* model,
                                      std::size_t n_features);

// predict_cumulative_hazard(X, times) of a tree or a log-rank forest.
template <class Model>
PyObject* predict_hazard(const Model& model, const char* model_noun, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"X", "times"};
  static const Signature signature{"predict_cumulative_hazard", parameters, 2};
  const HazardQuery query =
      hazard_query(bind(signature, args, nargs, kwnames), model_noun, model.n_features);
  std::vector<double> hazard =
      run_pooled([&](korvane::CallControl&) { return korvane::predict_cumulative_hazard(model, query.x, query.times); });
  return result_array(std::move(hazard), query.x.n_rows, query.times.size());
}

}  // namespace korvane::python
