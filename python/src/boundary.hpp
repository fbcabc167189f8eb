#pragma once

// Where C++ meets the interpreter: every entry point runs behind `guarded`, so
// no C++ exception crosses into CPython, and heavy work runs in `run_pooled`.

#include <chrono>
#include <cstddef>
#include <optional>

#include "korvane/call_control.hpp"
#include "korvane/pool.hpp"
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

// Releases the interpreter lock for its lifetime; `Held` takes it back for a
// while, on the same thread.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  class Held {
   public:
    explicit Held(GilRelease& released) : released_(released) {
      PyEval_RestoreThread(released_.state_);
    }
    ~Held() { released_.state_ = PyEval_SaveThread(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    GilRelease& released_;
  };

 private:
  PyThreadState* state_;
};

// How a long call runs: on how many threads, and whom it tells how far it got.
struct CallOptions {
  korvane::pool::ThreadCount n_threads;  // none: the process-wide pool
  PyObject* progress = nullptr;          // callable(trees_finished, total), or null
  std::size_t total = 0;                 // the trees the call grows
  // Known to end well within a poll interval: the calling thread takes part
  // (run_joined), and signals are seen once the work has ended.
  bool brief = false;
};

// Conversions of the private entry points' `n_threads` and `progress`
// arguments. n_threads: None, -1 (one thread per available processor) or a
// positive count, clamped to the pool's maximum (a call then runs on at most
// one thread per available processor); progress: None or a callable
// (borrowed). TypeError or ValueError otherwise.
korvane::pool::ThreadCount to_thread_count(PyObject* value);
PyObject* to_progress(PyObject* value);

// Calls the progress callback, from the calling thread with the lock held, at
// most once per kProgressInterval and only when the count moved; the report of
// completion waits out the interval, with the lock released, when a report
// was made less than an interval before.
class ProgressReports {
 public:
  static constexpr std::chrono::milliseconds kProgressInterval{100};

  ProgressReports(const CallOptions& options, const korvane::CallControl& control)
      : callback_(options.progress), total_(options.total), control_(control) {}

  void report_if_due();
  void report_completion();

 private:
  void report(std::size_t finished);

  PyObject* callback_;
  std::size_t total_;
  const korvane::CallControl& control_;
  std::optional<std::chrono::steady_clock::time_point> last_;
  std::size_t reported_ = 0;
};

// Runs `work(control)` on the pool with the interpreter lock released, for
// every call that can run long. The calling thread wakes every poll interval,
// takes the lock back to run signal handlers (so Ctrl-C raises
// KeyboardInterrupt) and to report progress, and releases it again. An
// exception there asks the work to stop; it is raised once the work, which
// checks `control` every tree node or block of rows, has ended. The lock is
// back before the result is used or an exception leaves.
template <class Work>
auto run_pooled(Work&& work, const CallOptions& options = {}) {
  korvane::CallControl control;
  ProgressReports progress(options, control);
  auto result = [&] {
    GilRelease released;
    if (options.brief) {
      return korvane::pool::run_joined(options.n_threads, [&] { return work(control); });
    }
    const auto poll = [&] {
      const GilRelease::Held held(released);
      if (PyErr_CheckSignals() < 0) throw PythonError{};
      progress.report_if_due();
    };
    return korvane::pool::run(options.n_threads, control, poll, [&] { return work(control); });
  }();
  progress.report_completion();
  return result;
}

}  // namespace korvane::python
