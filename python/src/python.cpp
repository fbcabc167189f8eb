#include "python.hpp"

namespace korvane::python {

// Read through the descriptor in type's own dictionary, so that a metaclass defining
// __name__ cannot change what messages show: the same string on every Python from
// 3.10 on, whose limited API gains PyType_GetName only in 3.11.
OwnedRef type_name(PyTypeObject* type) {
  const OwnedRef attributes =
      checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
  const OwnedRef descriptor = checked(PyMapping_GetItemString(attributes.get(), "__name__"));
  return checked(PyObject_CallMethod(descriptor.get(), "__get__", "O", type));
}

}  // namespace korvane::python
