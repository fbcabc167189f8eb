// Module frame: one execution step registers the functions and classes, in a
// fixed order, each also listed in __all__.

#include "arguments.hpp"
#include "bindings.hpp"
#include "boundary.hpp"
#include "model_class.hpp"
#include "python.hpp"

namespace korvane::python {

namespace {

PyObject* version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"version", {}, 0};
  bind(signature, args, nargs, kwnames);
  return PyUnicode_FromString("0.1.0");
}

PyMethodDef version_function = fastcall_method<version>("version", "version()\n--\n\n");

void append_to_all(PyObject* module, const char* name) {
  PyObject* namespace_dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(namespace_dict, "__all__");
  OwnedRef created;
  if (all == nullptr) {
    created = checked(PyList_New(0));
    if (PyDict_SetItemString(namespace_dict, "__all__", created.get()) < 0) throw PythonError{};
    all = created.get();
  }
  const OwnedRef text = checked(PyUnicode_FromString(name));
  if (PyList_Append(all, text.get()) < 0) throw PythonError{};
}

void add_public(PyObject* module, const char* name, PyObject* object) {
  if (PyModule_AddObjectRef(module, name, object) < 0) throw PythonError{};
  append_to_all(module, name);
}

OwnedRef new_function(PyObject* module_name, PyMethodDef* definition) {
  return checked(PyCFunction_NewEx(definition, nullptr, module_name));
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  add_public(module, definition->ml_name, new_function(module_name, definition).get());
}

// Reachable by name, but not listed in __all__.
void add_private_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  const OwnedRef function = new_function(module_name, definition);
  if (PyModule_AddObjectRef(module, definition->ml_name, function.get()) < 0) throw PythonError{};
}

// Registered under the name the class itself carries.
void add_class(PyObject* module, PyTypeObject* type) {
  const OwnedRef name = checked(PyType_GetName(type));
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (text == nullptr) throw PythonError{};
  add_public(module, text, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) raise(PyExc_TypeError, "expected a module object");
  const OwnedRef module_name = checked(PyModule_GetNameObject(module));
  add_function(module, module_name.get(), &version_function);
  add_function(module, module_name.get(), &fit_log_rank_tree_function);
  add_function(module, module_name.get(), &fit_log_rank_forest_function);
  add_function(module, module_name.get(), &fit_gradient_forest_function);
  add_class(module, log_rank_survival_tree_class());
  add_class(module, log_rank_survival_forest_class());
  add_class(module, gradient_forest_class());
  add_private_function(module, module_name.get(), &grow_log_rank_forest_function);
  add_private_function(module, module_name.get(), &grow_gradient_forest_function);
  // Reachable for `except`, but not part of the public names.
  PyObject* panic = panic_exception_class();
  if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0) {
    throw PythonError{};
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(guarded<exec_module>)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_korvane_core", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace korvane::python

PyMODINIT_FUNC PyInit__korvane_core() {
  return PyModuleDef_Init(&korvane::python::module_definition);
}
