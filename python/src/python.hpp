#pragma once

// The one place that includes the Python and NumPy headers, so every unit sees
// the same limited API and shares one pointer to NumPy's C API table.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL korvane_ARRAY_API
#ifndef KORVANE_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <string>
#include <utility>

namespace korvane::python {

// Thrown once a Python exception is set; the function boundary turns it into
// a NULL return.
struct PythonError {};

// Owns one reference; a null pointer is an empty handle.
class OwnedRef {
 public:
  OwnedRef() = default;
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef(std::move(other)).swap(*this);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const { return object_; }
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }
  void swap(OwnedRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// A new reference from a CPython call, or PythonError when the call failed.
inline OwnedRef checked(PyObject* result) {
  if (result == nullptr) throw PythonError{};
  return OwnedRef::steal(result);
}

[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

// Imports NumPy's C API on first use; cheap afterwards.
void require_numpy();

// The type's __name__, as type itself defines it.
OwnedRef type_name(PyTypeObject* type);

// The __name__ of the value's type.
inline OwnedRef type_name_of(PyObject* value) { return type_name(Py_TYPE(value)); }

}  // namespace korvane::python
