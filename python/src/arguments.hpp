#pragma once

// Binds fast-call arguments to declared parameters the way CPython binds them
// for a Python function: positional-or-keyword parameters first (all of them
// required), then keyword-only ones (all optional).

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "python.hpp"

namespace korvane::python {

struct Signature {
  const char* function;
  std::span<const char* const> parameters;
  std::size_t n_positional;
};

// Borrowed references to the arguments of one call, valid during that call.
class BoundArguments {
 public:
  BoundArguments(const Signature& signature, std::vector<PyObject*> values)
      : signature_(signature), values_(std::move(values)) {}

  // The argument given for `parameter`, or nullptr when it was omitted.
  [[nodiscard]] PyObject* operator[](std::string_view parameter) const;

 private:
  const Signature& signature_;
  std::vector<PyObject*> values_;
};

// Raises TypeError for too many positional arguments, an unknown keyword, a
// parameter given twice, or a missing required argument.
BoundArguments bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

}  // namespace korvane::python
