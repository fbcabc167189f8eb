#include "result_array.hpp"

#include <utility>

#include "owner_object.hpp"

namespace korvane::python {

namespace {

template <class Buffer>
using BufferHolder = OwnerObject<Buffer>;

// The holder class of one buffer type, created on first use.
template <class Buffer>
PyTypeObject* holder_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owner<BufferHolder<Buffer>>)},
        {Py_tp_doc, const_cast<char*>("Owner of a result array's buffer.")},
        {0, nullptr}};
    PyType_Spec spec = {"korvane._korvane_core._ResultBuffer", sizeof(BufferHolder<Buffer>), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
  }
  return type;
}

OwnedRef new_array(int type_number, int ndim, npy_intp* shape, void* data) {
  require_numpy();
  // With data, the flags describe it; without, NumPy allocates a C-ordered array.
  const int flags = data == nullptr ? 0 : NPY_ARRAY_CARRAY;
  return checked(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number), ndim,
                                      shape, nullptr, data, flags, nullptr));
}

template <class Buffer>
PyObject* adopt(Buffer&& values, int type_number, int ndim, npy_intp* shape) {
  // An empty vector may have no buffer at all; NumPy allocates its own then.
  if (values.empty()) return new_array(type_number, ndim, shape, nullptr).release();
  OwnedRef holder = new_owner<BufferHolder<Buffer>>(holder_type<Buffer>(), std::move(values));
  OwnedRef array =
      new_array(type_number, ndim, shape, value_of<BufferHolder<Buffer>>(holder.get()).data());
  // Steals the holder reference, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) {
    throw PythonError{};
  }
  return array.release();
}

template <class Buffer>
PyObject* adopt_matrix(Buffer&& values, int type_number, std::size_t rows, std::size_t cols) {
  npy_intp shape[] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return adopt(std::move(values), type_number, 2, shape);
}

template <class Buffer>
PyObject* adopt_vector(Buffer&& values, int type_number) {
  npy_intp shape[] = {static_cast<npy_intp>(values.size())};
  return adopt(std::move(values), type_number, 1, shape);
}

}  // namespace

PyObject* result_array(std::vector<double>&& values, std::size_t rows, std::size_t cols) {
  return adopt_matrix(std::move(values), NPY_FLOAT64, rows, cols);
}

PyObject* result_array(std::vector<double>&& values, std::size_t rows, std::size_t middle,
                       std::size_t cols) {
  npy_intp shape[] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(middle),
                      static_cast<npy_intp>(cols)};
  return adopt(std::move(values), NPY_FLOAT64, 3, shape);
}

PyObject* result_array(std::vector<double>&& values) {
  return adopt_vector(std::move(values), NPY_FLOAT64);
}

PyObject* result_array(UnfilledDoubles&& values, std::size_t rows, std::size_t cols) {
  return adopt_matrix(std::move(values), NPY_FLOAT64, rows, cols);
}

PyObject* result_array(UnfilledDoubles&& values) {
  return adopt_vector(std::move(values), NPY_FLOAT64);
}

PyObject* result_array(std::vector<std::uint32_t>&& values, std::size_t rows, std::size_t cols) {
  return adopt_matrix(std::move(values), NPY_UINT32, rows, cols);
}

PyObject* result_array(std::vector<std::uint32_t>&& values) {
  return adopt_vector(std::move(values), NPY_UINT32);
}

PyObject* result_array(std::vector<std::int64_t>&& values) {
  return adopt_vector(std::move(values), NPY_INT64);
}

PyObject* result_array(std::vector<std::uint8_t>&& values, std::size_t rows, std::size_t cols) {
  return adopt_matrix(std::move(values), NPY_BOOL, rows, cols);
}

PyObject* result_array(std::vector<std::uint8_t>&& values) {
  return adopt_vector(std::move(values), NPY_BOOL);
}

}  // namespace korvane::python
