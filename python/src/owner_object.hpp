#pragma once

// A Python object that owns one C++ value and destroys it with itself. It
// references no Python object, so its class needs no cyclic GC support.

#include <new>
#include <type_traits>
#include <utility>

#include "python.hpp"

namespace korvane::python {

template <class Value>
struct OwnerObject {
  PyObject base;
  Value value;
};

template <class Object>
auto& value_of(PyObject* self) {
  return reinterpret_cast<Object*>(self)->value;
}

template <class Object>
void dealloc_owner(PyObject* self) {
  static_assert(std::is_standard_layout_v<Object>);
  using Value = decltype(Object::value);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->value.~Value();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  // Instances of heap types hold a reference to their type.
  Py_DECREF(type);
}

// A new instance of `type` (whose dealloc is dealloc_owner) that takes over `value`.
template <class Object>
OwnedRef new_owner(PyTypeObject* type, decltype(Object::value)&& value) {
  using Value = decltype(Object::value);
  OwnedRef self = checked(PyType_GenericAlloc(type, 0));
  static_assert(std::is_nothrow_move_constructible_v<Value>);
  new (&reinterpret_cast<Object*>(self.get())->value) Value(std::move(value));
  return self;
}

}  // namespace korvane::python
