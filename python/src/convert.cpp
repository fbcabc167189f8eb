#include "convert.hpp"

#include <charconv>
#include <cstddef>
#include <string>

namespace korvane::python {

namespace {

std::uint32_t to_u32(PyObject* value) {
  const long result = PyLong_AsLong(value);
  if (result == -1 && PyErr_Occurred()) throw PythonError{};
  if (result < 0) raise(PyExc_OverflowError, "number too small to fit in target type");
  if (static_cast<unsigned long>(result) > UINT32_MAX) {
    raise(PyExc_OverflowError, "number too large to fit in target type");
  }
  return static_cast<std::uint32_t>(result);
}

std::optional<std::uint32_t> to_u32_or_nothing(PyObject* value) {
  try {
    return to_u32(value);
  } catch (const PythonError&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

bool is_printable(Py_UCS4 c) {
  if (c < 0x80) return c >= 0x20 && c < 0x7f;
  const OwnedRef character = checked(PyUnicode_FromOrdinal(static_cast<int>(c)));
  const OwnedRef printable = checked(PyObject_CallMethod(character.get(), "isprintable", nullptr));
  return printable.get() == Py_True;
}

void append_escaped(std::u32string& out, Py_UCS4 c) {
  switch (c) {
    case '"':
      out += U"\\\"";
      return;
    case '\\':
      out += U"\\\\";
      return;
    case '\t':
      out += U"\\t";
      return;
    case '\r':
      out += U"\\r";
      return;
    case '\n':
      out += U"\\n";
      return;
    case '\0':
      out += U"\\0";
      return;
    default:
      break;
  }
  if (is_printable(c)) {
    out += static_cast<char32_t>(c);
    return;
  }
  char hex[8];
  const auto end = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16).ptr;
  out += U"\\u{";
  for (const char* digit = hex; digit != end; ++digit) out += static_cast<char32_t>(*digit);
  out += U'}';
}

// The string between double quotes, control and other unprintable characters
// escaped, so that the message shows exactly what was passed.
std::u32string quoted_for_message(PyObject* text) {
  std::u32string out = U"\"";
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) throw PythonError{};
  for (Py_ssize_t i = 0; i < length; ++i) append_escaped(out, PyUnicode_ReadChar(text, i));
  return out + U'"';
}

[[noreturn]] void raise_unrecognised_max_features(PyObject* text) {
  const std::u32string message =
      U"max_features=" + quoted_for_message(text) +
      U" not recognised; expected None, 'sqrt', 'all', or a positive int";
  int native_order = 0;
  const OwnedRef decoded = checked(PyUnicode_DecodeUTF32(
      reinterpret_cast<const char*>(message.data()),
      static_cast<Py_ssize_t>(message.size() * sizeof(char32_t)), "strict", &native_order));
  PyErr_SetObject(PyExc_ValueError, decoded.get());
  throw PythonError{};
}

korvane::MaxFeatures named_max_features(PyObject* text) {
  if (PyUnicode_CompareWithASCIIString(text, "all") == 0) return korvane::MaxFeatures::all();
  if (PyUnicode_CompareWithASCIIString(text, "sqrt") == 0) return korvane::MaxFeatures::sqrt();
  raise_unrecognised_max_features(text);
}

template <class T>
std::span<const T> contiguous(PyArrayObject* array) {
  const auto size = static_cast<std::size_t>(PyArray_SIZE(array));
  if (size == 0) return {};
  if (!PyArray_ISALIGNED(array) ||
      !(PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array))) {
    raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
  }
  return {static_cast<const T*>(PyArray_DATA(array)), size};
}

// Steps of one dimension in doubles; none when its byte stride is not a whole
// number of doubles. A dimension of at most one entry is never stepped along.
std::optional<std::ptrdiff_t> element_stride(npy_intp extent, npy_intp byte_stride) {
  constexpr auto item = static_cast<npy_intp>(sizeof(double));
  if (extent <= 1) return 0;
  if (byte_stride % item != 0) return std::nullopt;
  return byte_stride / item;
}

bool is_double_aligned(const void* data) {
  return reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0;
}

[[noreturn]] void raise_unreadable(const char* name, const char* copy) {
  raise(PyExc_ValueError, std::string(name) +
                              " must be 8-byte aligned with strides that are whole multiples "
                              "of 8 bytes; pass a copy made with " +
                              copy);
}

// Takes the pending exception as one normalised instance, its traceback attached
// (what PyErr_GetRaisedException does from 3.12 on).
OwnedRef raised_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const OwnedRef owned_type = OwnedRef::steal(type);
  const OwnedRef owned_traceback = OwnedRef::steal(traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  return OwnedRef::steal(value);
}

}  // namespace

void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  const OwnedRef original = raised_exception();
  const OwnedRef message =
      OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
  if (!message) return;
  OwnedRef error =
      OwnedRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(error.get(), cause);
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
  Py_INCREF(type);
  PyErr_Restore(type, error.release(), nullptr);
}

std::uint64_t to_u64(PyObject* value) {
  const OwnedRef index = checked(PyNumber_Index(value));
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return result;
}

std::optional<std::uint32_t> to_max_depth(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  return to_u32(value);
}

std::optional<std::uint64_t> to_optional_u64(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  return to_u64(value);
}

bool to_flag(PyObject* value) {
  if (PyBool_Check(value)) return value == Py_True;
  require_numpy();
  if (PyArray_IsScalar(value, Bool)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) throw PythonError{};
    return truth == 1;
  }
  PyErr_Format(PyExc_TypeError, "expected a bool, got %U", type_name_of(value).get());
  throw PythonError{};
}

double to_fraction(PyObject* value) {
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) throw PythonError{};
  return result;
}

std::uint64_t to_seed(PyObject* value) { return value == Py_None ? 0 : to_u64(value); }

std::vector<OwnedRef> sequence_items(PyObject* value, const char* name) {
  if (!PySequence_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence, got %U", name, type_name_of(value).get());
    throw PythonError{};
  }
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) throw PythonError{};
  std::vector<OwnedRef> items;
  items.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t k = 0; k < size; ++k) items.push_back(checked(PySequence_GetItem(value, k)));
  return items;
}

TreeRequest to_tree_range(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  if (!(PyTuple_Check(value) || PyList_Check(value)) || PySequence_Size(value) != 2) {
    PyErr_Format(PyExc_TypeError, "expected None or a pair (start, stop), got %U",
                 type_name_of(value).get());
    throw PythonError{};
  }
  const OwnedRef start = checked(PySequence_GetItem(value, 0));
  const OwnedRef stop = checked(PySequence_GetItem(value, 1));
  return std::pair{to_u64(start.get()), to_u64(stop.get())};
}

korvane::MaxFeatures parse_max_features(PyObject* value, std::uint32_t n_features,
                                        korvane::MaxFeatures fallback) {
  if (value == Py_None) return fallback;
  if (PyUnicode_Check(value)) return named_max_features(value);
  const std::optional<std::uint32_t> count = to_u32_or_nothing(value);
  if (!count)
    raise(PyExc_ValueError, "max_features must be None, 'sqrt', 'all', or a positive int");
  const korvane::MaxFeatures fixed = korvane::MaxFeatures::fixed(*count);
  if (const auto mismatch = fixed.mismatch(n_features)) raise(PyExc_ValueError, *mismatch);
  return fixed;
}

PyArrayObject* to_array(PyObject* value, int ndim, int type_number) {
  require_numpy();
  const OwnedRef expected =
      checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
  if (!PyArray_Check(value)) {
    PyErr_Format(PyExc_TypeError, "expected a %d-D %S numpy array, got %U", ndim, expected.get(),
                 type_name_of(value).get());
    throw PythonError{};
  }
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  auto* expected_descr = reinterpret_cast<PyArray_Descr*>(expected.get());
  if (PyArray_NDIM(array) != ndim || !PyArray_EquivTypes(PyArray_DESCR(array), expected_descr)) {
    PyErr_Format(PyExc_TypeError, "expected a %d-D %S numpy array, got a %d-D %S array", ndim,
                 expected.get(), PyArray_NDIM(array), PyArray_DESCR(array));
    throw PythonError{};
  }
  return array;
}

std::span<const double> contiguous_doubles(PyArrayObject* array) {
  return contiguous<double>(array);
}

std::span<const std::uint8_t> contiguous_bytes(PyArrayObject* array) {
  return contiguous<std::uint8_t>(array);
}

std::size_t n_rows(PyArrayObject* array) { return static_cast<std::size_t>(PyArray_DIM(array, 0)); }

std::size_t n_columns(PyArrayObject* array) {
  return static_cast<std::size_t>(PyArray_DIM(array, 1));
}

bool is_column_major(PyArrayObject* x) {
  const npy_intp rows = PyArray_DIM(x, 0);
  if (rows < 2 || PyArray_DIM(x, 1) < 2) return true;
  constexpr auto item = static_cast<npy_intp>(sizeof(double));
  return PyArray_STRIDE(x, 0) == item && PyArray_STRIDE(x, 1) == rows * item;
}

korvane::MatrixView matrix_view(PyArrayObject* x, const char* name, const char* copy) {
  const auto* data = static_cast<const double*>(PyArray_DATA(x));
  const std::size_t rows = n_rows(x);
  const std::size_t cols = n_columns(x);
  if (rows == 0 || cols == 0) return {data, rows, cols, 0, 0};
  const auto row_stride = element_stride(PyArray_DIM(x, 0), PyArray_STRIDE(x, 0));
  const auto col_stride = element_stride(PyArray_DIM(x, 1), PyArray_STRIDE(x, 1));
  if (!row_stride || !col_stride || !is_double_aligned(data)) raise_unreadable(name, copy);
  return {data, rows, cols, *row_stride, *col_stride};
}

korvane::VectorView vector_view(PyArrayObject* x, const char* name, const char* copy) {
  const auto* data = static_cast<const double*>(PyArray_DATA(x));
  const auto size = static_cast<std::size_t>(PyArray_DIM(x, 0));
  if (size == 0) return {data, 0, 0};
  const auto stride = element_stride(PyArray_DIM(x, 0), PyArray_STRIDE(x, 0));
  if (!stride || !is_double_aligned(data)) raise_unreadable(name, copy);
  return {data, size, *stride};
}

}  // namespace korvane::python
