#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString("0.1.0"); }

PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_korvane_core", "", 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__korvane_core() { return PyModuleDef_Init(&module_def); }
