#pragma once

// Conversion of Python arguments into core values. A conversion that fails
// raises TypeError (with the argument's name, see `converted`) or
// OverflowError; value checks live with the functions that need them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvane/data.hpp"
#include "korvane/params.hpp"
#include "python.hpp"

namespace korvane::python {

// Re-raises a TypeError set by a failed conversion as a new TypeError that
// starts with "argument 'name': " and keeps the original's cause. Other
// exceptions pass through unchanged.
void prefix_type_error(const char* name);

template <class Convert>
auto converted(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_type_error(name);
    throw;
  }
}

// Integers in [0, 2**64 - 1], through __index__ for objects that are not int.
std::uint64_t to_u64(PyObject* value);
// None means no limit; otherwise an integer in [0, 4294967295].
std::optional<std::uint32_t> to_max_depth(PyObject* value);
// None means no limit; otherwise an integer in [0, 2**64 - 1].
std::optional<std::uint64_t> to_optional_u64(PyObject* value);
// A Python bool or a NumPy boolean scalar; nothing else.
bool to_flag(PyObject* value);
// A float, or an object with __float__ or __index__; unlike float(), no str.
double to_fraction(PyObject* value);
// None means 0.
std::uint64_t to_seed(PyObject* value);

// The argument itself, borrowed from the caller.
inline PyObject* borrowed(PyObject* value) { return value; }

// The items of a sequence, in order; TypeError naming the argument otherwise.
std::vector<OwnedRef> sequence_items(PyObject* value, const char* name);

// None, or a tuple or list of two integers (start, stop); their order is
// checked once the number of trees is known.
using TreeRequest = std::optional<std::pair<std::uint64_t, std::uint64_t>>;
TreeRequest to_tree_range(PyObject* value);

// `value` is the max_features argument as given; `fallback` is used for None.
// Raises ValueError.
korvane::MaxFeatures parse_max_features(PyObject* value, std::uint32_t n_features,
                                        korvane::MaxFeatures fallback);

// An ndarray (or subclass) with exactly `ndim` dimensions and a dtype
// equivalent to `type_number`, borrowed from the caller; no copy is made.
PyArrayObject* to_array(PyObject* value, int ndim, int type_number);

// `to_array` as the conversion of a declared parameter.
struct ArrayOf {
  int ndim;
  int type_number;
  PyArrayObject* operator()(PyObject* value) const { return to_array(value, ndim, type_number); }
};

// `to_array`, or nullptr for None: an optional array parameter.
struct OptionalArrayOf {
  int ndim;
  int type_number;
  PyArrayObject* operator()(PyObject* value) const {
    return value == Py_None ? nullptr : to_array(value, ndim, type_number);
  }
};

// The elements of a 1-D array that is contiguous and aligned (or empty);
// TypeError otherwise.
std::span<const double> contiguous_doubles(PyArrayObject* array);
std::span<const std::uint8_t> contiguous_bytes(PyArrayObject* array);

[[nodiscard]] std::size_t n_rows(PyArrayObject* array);
[[nodiscard]] std::size_t n_columns(PyArrayObject* array);

// The training layout: each column contiguous, or only one row or column.
[[nodiscard]] bool is_column_major(PyArrayObject* x);

// Strided views the core reads in place. An array whose data is not aligned
// for doubles, or whose strides are not whole multiples of a double (a field
// of a packed record array, say), cannot be read element by element: it is
// refused with a ValueError naming the argument and suggesting `copy`.
korvane::MatrixView matrix_view(PyArrayObject* x, const char* name, const char* copy);
korvane::VectorView vector_view(PyArrayObject* x, const char* name, const char* copy);

}  // namespace korvane::python
