// The persistence format for Python: any fitted model to bytes and back. The
// package builds save, load, pickling and copying on these two functions.

#include <cstdint>
#include <span>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "bindings.hpp"
#include "boundary.hpp"
#include "declaration.hpp"
#include "korvane/persistence.hpp"
#include "model_class.hpp"
#include "owner_object.hpp"

namespace korvane::python {

namespace {

using TreeObject = OwnerObject<korvane::Tree<korvane::StepFunction>>;
using LogRankForestObject = OwnerObject<korvane::Forest<korvane::StepFunction>>;
using GradientForestObject = OwnerObject<korvane::Forest<korvane::NoPayload>>;

// One of the three model classes, borrowed.
PyObject* to_model(PyObject* value) {
  const PyTypeObject* type = Py_TYPE(value);
  if (type != log_rank_survival_tree_class() && type != log_rank_survival_forest_class() &&
      type != gradient_forest_class()) {
    PyErr_Format(PyExc_TypeError,
                 "expected a LogRankSurvivalTree, LogRankSurvivalForest or GradientForest, got %U",
                 type_name_of(value).get());
    throw PythonError{};
  }
  return value;
}

// Py_bf_getbuffer: the stable ABI has numbered this slot 1 ever since slots exist,
// but the limited API names it only from 3.11 on.
constexpr int kGetBufferSlot = 1;

// An object that exports a buffer, borrowed.
PyObject* to_bytes_like(PyObject* value) {
  if (PyType_GetSlot(Py_TYPE(value), kGetBufferSlot) == nullptr) {
    PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not %U",
                 type_name_of(value).get());
    throw PythonError{};
  }
  return value;
}

// The bytes of a buffer, as one contiguous run, held for the view's lifetime. A
// NumPy array over the buffer holds its export: 3.10's limited API has no
// buffer calls of its own.
class BufferView {
 public:
  explicit BufferView(PyObject* exporter) : array_(viewed(exporter)) {}

  [[nodiscard]] std::span<const std::uint8_t> bytes() const {
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    return {static_cast<const std::uint8_t*>(PyArray_DATA(array)),
            static_cast<std::size_t>(PyArray_SIZE(array))};
  }

 private:
  static OwnedRef viewed(PyObject* exporter) {
    require_numpy();
    return checked(PyArray_FromBuffer(exporter, PyArray_DescrFromType(NPY_UINT8), -1, 0));
  }

  OwnedRef array_;
};

// Encoding and decoding are linear in the model and take well under a second
// for the largest forests, so they run with the lock released but without the
// pool's polling for interrupts.
template <class Work>
auto without_lock(Work&& work) {
  const GilRelease released;
  return work();
}

constexpr auto kToBytes =
    function("_to_bytes", std::tuple{positional("model", to_model)},
             "The fitted model in korvane's binary format (docs/FORMAT.md), as bytes.");

std::vector<std::uint8_t> encoded(PyObject* model) {
  const PyTypeObject* type = Py_TYPE(model);
  if (type == log_rank_survival_tree_class()) {
    return korvane::to_bytes(value_of<TreeObject>(model));
  }
  if (type == log_rank_survival_forest_class()) {
    return korvane::to_bytes(value_of<LogRankForestObject>(model));
  }
  return korvane::to_bytes(value_of<GradientForestObject>(model));
}

PyObject* to_bytes(PyObject*, const Arguments<kToBytes>& arguments) {
  PyObject* model = get<"model">(arguments);
  const std::vector<std::uint8_t> bytes = without_lock([&] { return encoded(model); });
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

constexpr auto kFromBytes =
    function("_from_bytes", std::tuple{positional("data", to_bytes_like)},
             "The model that `data` (any bytes-like object) holds in korvane's binary\n"
             "format. Raises ValueError, saying what is wrong, for anything else.");

// Decodes without the interpreter lock only when no other thread can change
// the bytes meanwhile.
korvane::Model decoded(PyObject* data, std::span<const std::uint8_t> bytes) {
  try {
    if (PyBytes_Check(data)) return without_lock([&] { return korvane::from_bytes(bytes); });
    return korvane::from_bytes(bytes);
  } catch (const korvane::FormatError& error) {
    raise(PyExc_ValueError, std::string("cannot read a korvane model: ") + error.what());
  }
}

OwnedRef wrapped(korvane::Model&& model) {
  if (auto* tree = std::get_if<0>(&model)) {
    return new_owner<TreeObject>(log_rank_survival_tree_class(), std::move(*tree));
  }
  if (auto* forest = std::get_if<1>(&model)) {
    return new_owner<LogRankForestObject>(log_rank_survival_forest_class(), std::move(*forest));
  }
  return new_owner<GradientForestObject>(gradient_forest_class(), std::move(std::get<2>(model)));
}

PyObject* from_bytes(PyObject*, const Arguments<kFromBytes>& arguments) {
  PyObject* data = get<"data">(arguments);
  korvane::Model model = [&] {
    const BufferView view(data);
    return decoded(data, view.bytes());
  }();
  return wrapped(std::move(model)).release();
}

PyMethodDef functions[] = {
    fastcall_method<kToBytes, to_bytes>(),
    fastcall_method<kFromBytes, from_bytes>(),
};

}  // namespace

std::span<PyMethodDef> persistence_functions() { return functions; }

}  // namespace korvane::python
