#pragma once

#include <atomic>
#include <cstddef>
#include <exception>

namespace korvane {

// Thrown by pool work that saw its call's stop request. The pool hands it to
// the caller only after every task of the call has ended, so everything the
// work allocated has been freed on the way out.
class Cancelled : public std::exception {
 public:
  [[nodiscard]] const char* what() const noexcept override { return "the call was stopped"; }
};

// What the thread that made a call shares with the pool threads doing its
// work: a stop request, which the work checks at short intervals (every tree
// node, every block of query rows), and the number of finished trees, which
// the caller reads for progress reports. Both are single atomics: checking
// costs one relaxed load. The work sees the control as const: it can neither
// stop the call nor reset it, only report into it.
class CallControl {
 public:
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  [[nodiscard]] bool stop_requested() const noexcept {
    return stop_.load(std::memory_order_relaxed);
  }
  // Throws Cancelled once a stop was requested.
  void check() const {
    if (stop_requested()) throw Cancelled{};
  }

  void finish_tree() const noexcept { trees_finished_.fetch_add(1, std::memory_order_relaxed); }
  [[nodiscard]] std::size_t trees_finished() const noexcept {
    return trees_finished_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<bool> stop_{false};
  mutable std::atomic<std::size_t> trees_finished_{0};
};

}  // namespace korvane
