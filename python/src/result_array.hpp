#pragma once

#include <cstddef>
#include <vector>

#include "python.hpp"

namespace korvane::python {

// A new writeable, C-ordered float64 array of the given shape over the
// buffer of `values`, which it takes over without copying: a small holder
// object set as the array's base frees the buffer when the array dies.
PyObject* result_array(std::vector<double>&& values, std::size_t rows, std::size_t cols);
PyObject* result_array(std::vector<double>&& values);

}  // namespace korvane::python
