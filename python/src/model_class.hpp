#pragma once

// The common frame of the three model classes: an instance is an OwnerObject
// of one fitted model, created only by a fit function and never changed; the
// classes have no constructor, cannot be subclassed and carry no __dict__.

#include "boundary.hpp"
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

// A module function or method taking fast-call arguments; its failures are
// raised as Python exceptions.
template <auto Function>
PyMethodDef fastcall_method(const char* name, const char* doc) {
  // CPython keeps every calling convention behind the one PyCFunction type;
  // the flags tell it the real one.
  const auto function = reinterpret_cast<void (*)()>(guarded<Function>);
  return {name, reinterpret_cast<PyCFunction>(function), METH_FASTCALL | METH_KEYWORDS, doc};
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
