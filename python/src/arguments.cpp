#include "arguments.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace korvane::python {

namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
std::string name_list(const std::vector<const char*>& names) {
  if (names.size() == 1) return quoted(names[0]);
  if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string text;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) text += quoted(names[i]) + ", ";
  return text + "and " + quoted(names.back());
}

[[noreturn]] void raise_too_many_positional(const Signature& signature, Py_ssize_t nargs) {
  const std::size_t takes = signature.n_positional;
  raise(PyExc_TypeError, std::string(signature.function) + "() takes " + std::to_string(takes) +
                             " positional argument" + (takes == 1 ? "" : "s") + " but " +
                             std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
}

[[noreturn]] void raise_keyword_error(const Signature& signature, const char* problem,
                                      PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() %s '%U'", signature.function, problem, keyword);
  throw PythonError{};
}

std::size_t parameter_index(const Signature& signature, PyObject* keyword) {
  std::size_t index = 0;
  for (const char* parameter : signature.parameters) {
    if (PyUnicode_CompareWithASCIIString(keyword, parameter) == 0) return index;
    ++index;
  }
  raise_keyword_error(signature, "got an unexpected keyword argument", keyword);
}

void check_required_given(const Signature& signature, std::span<PyObject* const> values) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.n_positional; ++i) {
    if (values[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (missing.empty()) return;
  raise(PyExc_TypeError, std::string(signature.function) + "() missing " +
                             std::to_string(missing.size()) + " required positional argument" +
                             (missing.size() == 1 ? "" : "s") + ": " + name_list(missing));
}

}  // namespace

void bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> values) {
  if (static_cast<std::size_t>(nargs) > signature.n_positional) {
    raise_too_many_positional(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    const std::size_t index = parameter_index(signature, keyword);
    if (values[index] != nullptr) {
      raise_keyword_error(signature, "got multiple values for argument", keyword);
    }
    values[index] = args[nargs + k];
  }
  check_required_given(signature, values);
}

OwnedRef default_object(const char* shown) {
  const std::string_view text(shown);
  if (text == "None") return OwnedRef::borrow(Py_None);
  if (text == "True") return OwnedRef::borrow(Py_True);
  if (text == "False") return OwnedRef::borrow(Py_False);
  if (text.find('.') == std::string_view::npos) {
    return checked(PyLong_FromString(shown, nullptr, 10));
  }
  // Python's own parser, so the value is the float the signature shows.
  const OwnedRef digits = checked(PyUnicode_FromString(shown));
  return checked(PyFloat_FromString(digits.get()));
}

}  // namespace korvane::python
