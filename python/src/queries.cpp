#include "queries.hpp"

#include <string>

namespace korvane::python {

PyArrayObject* query_array(const BoundArguments& arguments, const char* name, int ndim) {
  return converted(name, [&] { return to_array(arguments[name], ndim, NPY_FLOAT64); });
}

void check_feature_count(const char* argument, std::size_t given, const char* model,
                         std::size_t expected) {
  if (given != expected) {
    raise(PyExc_ValueError, std::string(argument) + " has " + std::to_string(given) +
                                " features but " + model + " was fit on " +
                                std::to_string(expected));
  }
}

korvane::MatrixView query_matrix_view(PyArrayObject* x) { return matrix_view(x, "X", "X.copy()"); }

korvane::VectorView query_row_view(PyArrayObject* x) { return vector_view(x, "x", "x.copy()"); }

}  // namespace korvane::python
