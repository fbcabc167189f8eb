#include "result_array.hpp"

#include <utility>

#include "owner_object.hpp"

namespace korvane::python {

namespace {

using BufferHolder = OwnerObject<std::vector<double>>;

PyTypeObject* holder_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owner<BufferHolder>)},
        {Py_tp_doc, const_cast<char*>("Owner of a result array's buffer.")},
        {0, nullptr}};
    PyType_Spec spec = {"korvane._korvane_core._ResultBuffer", sizeof(BufferHolder), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
  }
  return type;
}

OwnedRef new_array(int ndim, npy_intp* shape, void* data) {
  require_numpy();
  // With data, the flags describe it; without, NumPy allocates a C-ordered array.
  const int flags = data == nullptr ? 0 : NPY_ARRAY_CARRAY;
  return checked(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), ndim,
                                      shape, nullptr, data, flags, nullptr));
}

PyObject* adopt(std::vector<double>&& values, int ndim, npy_intp* shape) {
  // An empty vector may have no buffer at all; NumPy allocates its own then.
  if (values.empty()) return new_array(ndim, shape, nullptr).release();
  OwnedRef holder = new_owner<BufferHolder>(holder_type(), std::move(values));
  OwnedRef array = new_array(ndim, shape, value_of<BufferHolder>(holder.get()).data());
  // Steals the holder reference, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) {
    throw PythonError{};
  }
  return array.release();
}

}  // namespace

PyObject* result_array(std::vector<double>&& values, std::size_t rows, std::size_t cols) {
  npy_intp shape[] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return adopt(std::move(values), 2, shape);
}

PyObject* result_array(std::vector<double>&& values) {
  npy_intp shape[] = {static_cast<npy_intp>(values.size())};
  return adopt(std::move(values), 1, shape);
}

}  // namespace korvane::python
