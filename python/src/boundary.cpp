#include "boundary.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace korvane::python {

namespace {

PyObject* panic_exception = nullptr;

}  // namespace

PyObject* create_panic_exception() {
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
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    // korvane::InternalError, or anything else the core did not expect.
    PyErr_SetString(panic_exception, error.what());
  } catch (...) {
    PyErr_SetString(panic_exception, "unknown C++ exception");
  }
}

}  // namespace korvane::python
