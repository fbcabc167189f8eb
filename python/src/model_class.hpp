#pragma once

// The common frame of the three model classes: an instance is an OwnerObject
// of one fitted model, created only by a fit function and never changed; the
// classes have no constructor, cannot be subclassed and carry no __dict__.

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

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

}  // namespace korvane::python
