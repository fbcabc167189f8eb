// Module frame: one execution step registers the functions and classes, in a
// fixed order, the public ones also listed in __all__.

#include <span>
#include <tuple>

#include "arguments.hpp"
#include "bindings.hpp"
#include "boundary.hpp"
#include "declaration.hpp"
#include "model_class.hpp"
#include "python.hpp"

namespace korvane::python {

namespace {

constexpr auto kVersion = function("version", std::tuple{}, "");

PyObject* version(PyObject*, const Arguments<kVersion>&) {
  return PyUnicode_FromString(KORVANE_VERSION);
}

PyMethodDef functions[] = {
    fastcall_method<kVersion, version>(),
};

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

// Names starting with an underscore stay out of __all__.
void add_named(PyObject* module, const char* name, PyObject* object) {
  if (PyModule_AddObjectRef(module, name, object) < 0) throw PythonError{};
  if (name[0] != '_') append_to_all(module, name);
}

void add_functions(PyObject* module, PyObject* module_name, std::span<PyMethodDef> definitions) {
  for (PyMethodDef& definition : definitions) {
    const OwnedRef function = checked(PyCFunction_NewEx(&definition, nullptr, module_name));
    add_named(module, definition.ml_name, function.get());
  }
}

// Registered under the name the class itself carries.
void add_class(PyObject* module, PyTypeObject* type) {
  const OwnedRef name = type_name(type);
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (text == nullptr) throw PythonError{};
  add_named(module, text, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) raise(PyExc_TypeError, "expected a module object");
  const OwnedRef module_name = checked(PyModule_GetNameObject(module));
  add_functions(module, module_name.get(), functions);
  add_functions(module, module_name.get(), tree_functions());
  add_functions(module, module_name.get(), forest_functions());
  add_functions(module, module_name.get(), persistence_functions());
  add_class(module, log_rank_survival_tree_class());
  add_class(module, log_rank_survival_forest_class());
  add_class(module, gradient_forest_class());
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
