#pragma once

// Argument handling shared by the model classes' query methods. Query arrays
// may have any layout; only their shape against the model is checked.

#include <cstddef>
#include <span>
#include <utility>

#include "arguments.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "korvane/data.hpp"
#include "python.hpp"
#include "result_array.hpp"

namespace korvane::python {

// A float64 argument of a query (X, x or times) with `ndim` dimensions.
PyArrayObject* query_array(const BoundArguments& arguments, const char* name, int ndim);

// "X has 3 features but tree was fit on 4"
void check_feature_count(const char* argument, std::size_t given, const char* model,
                         std::size_t expected);

korvane::MatrixView query_matrix_view(PyArrayObject* x);
korvane::VectorView query_row_view(PyArrayObject* x);

// predict_cumulative_hazard(X, times) of a tree or a log-rank forest.
template <class Model>
PyObject* predict_hazard(const Model& model, const char* model_noun, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"X", "times"};
  static const Signature signature{"predict_cumulative_hazard", parameters, 2};
  const BoundArguments arguments = bind(signature, args, nargs, kwnames);
  PyArrayObject* x = query_array(arguments, "X", 2);
  PyArrayObject* times_array = query_array(arguments, "times", 1);
  check_feature_count("X", n_columns(x), model_noun, model.n_features);
  const std::span<const double> times = contiguous_doubles(times_array);
  const korvane::MatrixView view = query_matrix_view(x);
  std::vector<double> hazard =
      without_gil([&] { return korvane::predict_cumulative_hazard(model, view, times); });
  return result_array(std::move(hazard), static_cast<npy_intp>(view.n_rows),
                      static_cast<npy_intp>(times.size()));
}

}  // namespace korvane::python
