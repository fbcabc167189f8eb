#include "queries.hpp"

#include <string>

#include "convert.hpp"

namespace korvane::python {

namespace {

// "X has 3 features but tree was fit on 4"
void check_feature_count(const char* argument, std::size_t given, const char* model,
                         std::size_t expected) {
  if (given != expected) {
    raise(PyExc_ValueError, std::string(argument) + " has " + std::to_string(given) +
                                " features but " + model + " was fit on " +
                                std::to_string(expected));
  }
}

korvane::MatrixView query_matrix_view(PyArrayObject* x) { return matrix_view(x, "X", "X.copy()"); }

}  // namespace

HazardQuery hazard_query(PyArrayObject* x, PyArrayObject* times, const char* model,
                         std::size_t n_features) {
  check_feature_count("X", n_columns(x), model, n_features);
  const std::span<const double> checked_times = contiguous_doubles(times);
  return {query_matrix_view(x), checked_times};
}

korvane::MatrixView weights_query(PyArrayObject* x, const char* model, std::size_t n_features) {
  check_feature_count("X", n_columns(x), model, n_features);
  return query_matrix_view(x);
}

PyObject* node_table_dict(korvane::NodeTable&& table) {
  const bool counted = !table.n_samples.empty();
  OwnedRef dict = checked(PyDict_New());
  const auto put = [&](const char* name, PyObject* array) {
    const OwnedRef owned = checked(array);
    if (PyDict_SetItemString(dict.get(), name, owned.get()) < 0) throw PythonError{};
  };
  put("children_left", result_array(std::move(table.children_left)));
  put("children_right", result_array(std::move(table.children_right)));
  put("feature", result_array(std::move(table.feature)));
  put("threshold", result_array(std::move(table.threshold)));
  put("impurity", result_array(std::move(table.score)));
  put("missing_go_to_left", result_array(std::move(table.missing_left)));
  put("leaf", result_array(std::move(table.leaf)));
  if (counted) put("n_node_samples", result_array(std::move(table.n_samples)));
  return dict.release();
}

korvane::VectorView weights_one_query(PyArrayObject* x, const char* model, std::size_t n_features) {
  check_feature_count("x", n_rows(x), model, n_features);
  return vector_view(x, "x", "x.copy()");
}

}  // namespace korvane::python
