#pragma once

// Where C++ meets the interpreter: every entry point runs behind `guarded`, so
// no C++ exception crosses into CPython, and heavy work runs in `without_gil`.

#include "python.hpp"

namespace korvane::python {

// The class for internal failures of the core, derived from BaseException so
// that `except Exception` does not swallow it. Created on first use, once per
// process; nullptr with an exception set when it cannot be created.
PyObject* panic_exception_class();

// Sets the Python exception for the C++ exception being handled: a set Python
// error stays, InternalError becomes PanicException, exhausted or impossible
// allocations become MemoryError.
void set_error_from_current_exception() noexcept;

// What a CPython callback returns to report a set exception.
template <class Result>
Result failure_value();
template <>
inline PyObject* failure_value<PyObject*>() {
  return nullptr;
}
template <>
inline int failure_value<int>() {
  return -1;
}

template <auto Function>
struct Guarded;

template <class Result, class... Args, Result (*Function)(Args...)>
struct Guarded<Function> {
  static Result call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (...) {
      set_error_from_current_exception();
      return failure_value<Result>();
    }
  }
};

// `Function` as a CPython callback that reports failures as Python exceptions.
template <auto Function>
inline constexpr auto guarded = &Guarded<Function>::call;

// Releases the interpreter lock for its lifetime.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the lock released. The lock is back before the result is
// used or an exception leaves, so failures are raised with the lock held.
template <class Work>
auto without_gil(Work&& work) {
  const GilRelease released;
  return work();
}

}  // namespace korvane::python
