#pragma once

// The common frame of the three model classes: an instance owns one fitted
// model, created only by a fit function and never changed; the classes have no
// constructor, cannot be subclassed, carry no __dict__ and are not tracked by
// the cyclic collector (an instance references no Python object).

#include <new>
#include <type_traits>
#include <utility>

#include "python.hpp"

namespace korvane::python {

template <class Model>
struct ModelObject {
  PyObject base;
  Model model;
};

template <class Object>
const auto& model_of(PyObject* self) {
  return reinterpret_cast<const Object*>(self)->model;
}

template <class Object>
void dealloc_model(PyObject* self) {
  static_assert(std::is_standard_layout_v<Object>);
  PyTypeObject* type = Py_TYPE(self);
  using Model = decltype(Object::model);
  reinterpret_cast<Object*>(self)->model.~Model();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// A new instance of `type` that takes over `model`.
template <class Object>
PyObject* wrap_model(PyTypeObject* type, decltype(Object::model)&& model) {
  PyObject* self = checked(PyType_GenericAlloc(type, 0)).release();
  using Model = decltype(Object::model);
  new (&reinterpret_cast<Object*>(self)->model) Model(std::move(model));
  return self;
}

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

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace korvane::python
