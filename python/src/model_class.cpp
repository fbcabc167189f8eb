#include "model_class.hpp"

namespace korvane::python {

PyTypeObject* class_once(PyTypeObject*& cache, const ClassDefinition& definition) {
  if (cache != nullptr) return cache;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(definition.doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition.dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(definition.repr)},
      {Py_tp_methods, definition.methods},
      {Py_tp_getset, definition.properties},
      {0, nullptr},
  };
  PyType_Spec spec = {
      definition.qualified_name, definition.basic_size, 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
  cache = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
  return cache;
}

}  // namespace korvane::python
