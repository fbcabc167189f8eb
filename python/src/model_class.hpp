#pragma once

// The common frame of the three model classes: an instance is an OwnerObject
// of one fitted model, created only by a fit function and never changed; the
// classes have no constructor, cannot be subclassed and carry no __dict__.

#include "arguments.hpp"
#include "boundary.hpp"
#include "declaration.hpp"
#include "owner_object.hpp"
#include "python.hpp"

namespace korvane::python {

struct ClassDefinition {
  const char* qualified_name;
  const char* doc;
  int basic_size;
  destructor dealloc;
  reprfunc repr;
  PyMethodDef* methods;
  PyGetSetDef* properties;
};

// The class, created on the first call and kept for the life of the process
// in `cache`: the module has no state of its own.
PyTypeObject* class_once(PyTypeObject*& cache, const ClassDefinition& definition);

// What a function or method declared by `D` runs once its arguments are
// bound and converted; `self` is null for a module function.
template <const auto& D>
using Body = PyObject* (*)(PyObject* self, const Arguments<D>& arguments);

template <const auto& D, Body<D> Function>
PyObject* call_with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return Function(self, Arguments<D>(args, nargs, kwnames));
}

// The table entry of the function or method declared by `D`, taking fast-call
// arguments; its failures are raised as Python exceptions.
template <const auto& D, Body<D> Function>
PyMethodDef fastcall_method() {
  // CPython keeps every calling convention behind the one PyCFunction type;
  // the flags tell it the real one.
  const auto function = reinterpret_cast<void (*)()>(guarded<call_with_arguments<D, Function>>);
  return {D.name, reinterpret_cast<PyCFunction>(function), METH_FASTCALL | METH_KEYWORDS,
          kDocText<D>.data()};
}

inline constexpr PyMethodDef kEndOfMethods{nullptr, nullptr, 0, nullptr};

// A property without a setter, so assigning to it raises AttributeError; its
// docstring is empty.
template <auto Getter>
constexpr PyGetSetDef read_only_property(const char* name) {
  return {name, guarded<Getter>, nullptr, "", nullptr};
}

inline constexpr PyGetSetDef kEndOfProperties{nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace korvane::python
