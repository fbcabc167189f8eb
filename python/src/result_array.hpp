#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "korvane/memory.hpp"
#include "python.hpp"

namespace korvane::python {

// A new writeable, C-ordered array of the given shape over the buffer of
// `values`, which it takes over without copying: a small holder object set as
// the array's base frees the buffer when the array dies. Doubles give a
// float64 array, 32-bit counts a uint32 array, 64-bit integers an int64 array,
// and bytes (0 or 1) a bool array.
PyObject* result_array(std::vector<double>&& values, std::size_t rows, std::size_t cols);
PyObject* result_array(std::vector<double>&& values, std::size_t rows, std::size_t middle,
                       std::size_t cols);
PyObject* result_array(std::vector<double>&& values);
PyObject* result_array(UnfilledDoubles&& values, std::size_t rows, std::size_t cols);
PyObject* result_array(UnfilledDoubles&& values);
PyObject* result_array(std::vector<std::uint32_t>&& values, std::size_t rows, std::size_t cols);
PyObject* result_array(std::vector<std::uint32_t>&& values);
PyObject* result_array(std::vector<std::int64_t>&& values);
PyObject* result_array(std::vector<std::uint8_t>&& values, std::size_t rows, std::size_t cols);
PyObject* result_array(std::vector<std::uint8_t>&& values);

}  // namespace korvane::python
