#include "boundary.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>
#include <thread>

#include "korvane/memory.hpp"

namespace korvane::python {

namespace {

PyObject* panic_exception = nullptr;

void set_panic(const char* message) {
  // When the class cannot be created, the error that says why stays set.
  if (PyObject* panic = panic_exception_class()) PyErr_SetString(panic, message);
}

}  // namespace

PyObject* panic_exception_class() {
  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc(
        "korvane._korvane_core.PanicException",
        "An internal consistency check of the core failed. Input that the module "
        "accepts should never cause this; please report it.",
        PyExc_BaseException, nullptr);
  }
  return panic_exception;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    // Already set where it was raised.
  } catch (const korvane::OutOfMemory& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    // korvane::InternalError, or anything else the core did not expect.
    set_panic(error.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
}

korvane::pool::ThreadCount to_thread_count(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  if (!PyIndex_Check(value)) {
    const OwnedRef type = type_name_of(value);
    PyErr_Format(PyExc_TypeError, "expected None or an integer, got %U", type.get());
    throw PythonError{};
  }
  const OwnedRef index = checked(PyNumber_Index(value));
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow > 0) return korvane::pool::kMaxThreads;
  if (overflow == 0 && count == -1) return korvane::pool::available_parallelism();
  if (overflow < 0 || count < 1) {
    PyErr_Format(PyExc_ValueError, "n_threads must be None, -1 or a positive integer, got %R",
                 value);
    throw PythonError{};
  }
  return std::min(static_cast<std::size_t>(count), korvane::pool::kMaxThreads);
}

PyObject* to_progress(PyObject* value) {
  if (value == nullptr || value == Py_None) return nullptr;
  if (!PyCallable_Check(value)) {
    const OwnedRef type = type_name_of(value);
    PyErr_Format(PyExc_TypeError, "expected None or a callable, got %U", type.get());
    throw PythonError{};
  }
  return value;
}

void ProgressReports::report(std::size_t finished) {
  reported_ = finished;
  checked(PyObject_CallFunction(callback_, "nn", static_cast<Py_ssize_t>(finished),
                                static_cast<Py_ssize_t>(total_)));
  last_ = std::chrono::steady_clock::now();
}

void ProgressReports::report_if_due() {
  if (callback_ == nullptr) return;
  if (last_ && std::chrono::steady_clock::now() - *last_ < kProgressInterval) return;
  const std::size_t finished = control_.trees_finished();
  if (finished != reported_) report(finished);
}

void ProgressReports::report_completion() {
  if (callback_ == nullptr || reported_ == total_) return;
  if (last_ && std::chrono::steady_clock::now() < *last_ + kProgressInterval) {
    const GilRelease released;
    std::this_thread::sleep_until(*last_ + kProgressInterval);
  }
  report(total_);
}

}  // namespace korvane::python
