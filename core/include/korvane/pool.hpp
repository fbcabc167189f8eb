#pragma once

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "korvane/call_control.hpp"

namespace korvane::pool {

inline constexpr std::size_t kMaxThreads = 65535;

// Pool size from the two environment values (null when unset) and the number of
// processors available to the process: RAYON_NUM_THREADS when it is a positive
// integer, else RAYON_RS_NUM_CPUS when positive, else `available`; at most 65535.
[[nodiscard]] std::size_t size_from_environment(const char* rayon_num_threads,
                                                const char* rayon_rs_num_cpus,
                                                std::size_t available);

// CPUs a control-group quota allows: max(1, quota / period); none when unlimited
// or unreadable. `cpu_max` is the content of a cgroup v2 cpu.max file.
[[nodiscard]] std::optional<std::size_t> cpus_from_cgroup_v2(std::string_view cpu_max);
[[nodiscard]] std::optional<std::size_t> cpus_from_cgroup_v1(std::string_view cfs_quota_us,
                                                             std::string_view cfs_period_us);

// Processors available to this process: its affinity set lowered to its control
// group's CPU quota; 1 when nothing can be read.
[[nodiscard]] std::size_t available_parallelism();

// What bounds the threads this process can still start; none where nothing
// bounds them or nothing can be read.
struct ThreadLimits {
  std::optional<std::uint64_t> address_space_left;  // bytes, under RLIMIT_AS
  // Address space a started worker may take: its stack, and the malloc arena
  // its first allocation may reserve.
  std::uint64_t bytes_per_thread = 0;
  // Tasks, under RLIMIT_NPROC, the system's threads-max and the control
  // group's pids.max.
  std::optional<std::uint64_t> tasks_left;
};

// The limits as the system reports them now.
[[nodiscard]] ThreadLimits thread_limits();

// Workers that may be started under `limits`, at least 1 (a call needs one):
// stacks take at most half the address space left, the rest staying for the
// work, and at most half the tasks left, the rest staying for the system.
[[nodiscard]] std::size_t startable_threads(const ThreadLimits& limits);

// How often a caller waiting for its pool work runs its poll.
inline constexpr std::chrono::milliseconds kPollInterval{50};

namespace detail {

// True in a child process forked after the pool was made: the scheduler's
// threads did not survive the fork, and its state may have been copied while
// another thread was changing it, so the child never touches it again.
[[nodiscard]] bool inherited_by_fork();

// The process-wide arena, created on first use and never destroyed.
tbb::task_arena& process_arena();

// Lets the scheduler run `workers` worker threads at once, or as many as the
// process can still start (startable_threads) when fewer: the scheduler starts
// its workers lazily and ends the process when one cannot be started. Callers
// wait instead of working, so an arena of k threads needs k workers, one more
// than the scheduler's default cap allows for the processor count.
void allow_workers(std::size_t workers);

// Threads of a call's own arena for `requested`: at least 1 and at most the
// processors available when the pool was made, since more cannot make a call
// faster and each would be a thread started for nothing.
[[nodiscard]] std::size_t threads_for_call(std::size_t requested);

}  // namespace detail

// Number of threads of the process-wide pool (creates it).
[[nodiscard]] std::size_t thread_count();

// Threads for one call: none for the process-wide pool, or a count (clamped
// into [1, available processors]) for an arena of the call's own. Never
// changes a result.
using ThreadCount = std::optional<std::size_t>;

namespace detail {

// Calls use(arena) with the arena of a call: one of the call's own, with
// `joined` of its threads (0 or 1) kept for the calling thread, or the
// process-wide one, whose workers the scheduler is then allowed to run.
template <class Use>
auto with_arena(ThreadCount n_threads, unsigned joined, Use&& use) {
  std::optional<tbb::task_arena> own;
  if (n_threads) {
    own.emplace(static_cast<int>(threads_for_call(*n_threads)), static_cast<int>(joined));
  }
  tbb::task_arena& arena = own ? *own : process_arena();
  allow_workers(static_cast<std::size_t>(arena.max_concurrency()));
  return use(arena);
}

}  // namespace detail

// Runs `work` on the pool and returns its result; the calling thread does
// not take part but wakes every kPollInterval to run `poll`. When poll throws,
// the work is asked to stop through `control`, and poll's exception is
// rethrown once every task of the work has ended. In a process forked from
// one that made the pool, the work runs on the calling thread instead:
// results are the same by construction, only slower.
template <class Work, class Poll>
auto run(ThreadCount n_threads, CallControl& control, Poll&& poll, Work&& work) {
  using Result = decltype(work());
  if (detail::inherited_by_fork()) return work();
  // The task is owned by the queued job, never by this frame, so the pool
  // thread finishing it cannot outlive what it touches.
  auto task = std::make_shared<std::packaged_task<Result()>>(
      [&work] { return tbb::this_task_arena::isolate(work); });
  std::future<Result> done = task->get_future();
  return detail::with_arena(n_threads, 0, [&](tbb::task_arena& arena) {
    arena.enqueue([task] { (*task)(); });
    while (done.wait_for(kPollInterval) != std::future_status::ready) {
      try {
        poll();
      } catch (...) {
        control.request_stop();
        done.wait();
        throw;
      }
    }
    return done.get();
  });
}

// Runs `work` on the pool with the calling thread taking part, and returns
// its result: for work known to end well within a poll interval, where
// waking a worker to start it and the caller to take its result would cost
// as much as the work. Nothing polls meanwhile. In a forked child, as `run`.
template <class Work>
auto run_joined(ThreadCount n_threads, Work&& work) {
  if (detail::inherited_by_fork()) return work();
  // The caller's slot is kept for it, so the scheduler wakes workers for the
  // other slots only: with a slot open to workers, one woke to find the
  // caller in it and spun on, about 7 % of a one-thread fit's processor time.
  return detail::with_arena(n_threads, 1, [&](tbb::task_arena& arena) {
    return arena.execute([&] { return tbb::this_task_arena::isolate(work); });
  });
}

// Runs body(begin, end) for blocks [begin, end) that together cover [0, n)
// once, on the arena the calling task runs in (the one `run` chose for the
// call); a block runs on one thread, so its indices can share buffers. The
// caller waits.
template <class Body>
void parallel_for_blocks(std::size_t n, Body&& body) {
  if (n == 0) return;
  if (detail::inherited_by_fork()) {
    body(std::size_t{0}, n);
    return;
  }
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, n, 1),
      [&](const tbb::blocked_range<std::size_t>& range) { body(range.begin(), range.end()); });
}

// Runs body(i) for every i in [0, n) as parallel_for_blocks does.
template <class Body>
void parallel_for_each(std::size_t n, Body&& body) {
  parallel_for_blocks(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i != end; ++i) body(i);
  });
}

namespace detail {

// One State per slot of the calling arena, made on first use by the thread in
// that slot (so from that thread's malloc arena). Slots are numbered by the
// scheduler, which may number a thread beyond the arena's concurrency (seen
// with one-thread arenas), so the table grows as slots appear. No two threads
// hold a slot at once.
template <class State>
class StatePerThread {
 public:
  State& local() {
    const auto slot = static_cast<std::size_t>(tbb::this_task_arena::current_thread_index());
    const std::lock_guard lock(mutex_);
    if (slot >= states_.size()) states_.resize(slot + 1);
    if (!states_[slot]) states_[slot] = std::make_unique<State>();
    return *states_[slot];
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<State>> states_;
};

}  // namespace detail

// Computes make(i, state) for every i in [0, n) on the pool, where `state` is
// a State made once per thread of the call, on that thread, and kept across
// all the blocks of indices it runs: parallel_for_blocks hands a thread many
// blocks of one index each, and a State per block would be allocated and
// freed anew for every tree of a forest. The states are dropped when the call
// ends. Results are placed by index, so their order never depends on
// scheduling.
template <class State, class Make>
auto parallel_map_with(std::size_t n, Make&& make) {
  using Result = decltype(make(std::size_t{0}, std::declval<State&>()));
  std::vector<std::optional<Result>> slots(n);
  const auto fill = [&](std::size_t begin, std::size_t end, State& state) {
    for (std::size_t i = begin; i != end; ++i) slots[i].emplace(make(i, state));
  };
  if (detail::inherited_by_fork()) {
    State state;
    fill(0, n, state);
  } else {
    detail::StatePerThread<State> states;
    parallel_for_blocks(n, [&](std::size_t begin, std::size_t end) {
      State& state = states.local();
      // A thread waiting inside make() for nested work must not start another
      // block, which would take the state in use.
      tbb::this_task_arena::isolate([&] { fill(begin, end, state); });
    });
  }
  std::vector<Result> results;
  results.reserve(n);
  for (auto& slot : slots) results.push_back(std::move(*slot));
  return results;
}

// Computes make(i) for every i in [0, n) on the pool, placed by index.
template <class Make>
auto parallel_map(std::size_t n, Make&& make) {
  struct Stateless {};
  return parallel_map_with<Stateless>(n, [&](std::size_t i, Stateless&) { return make(i); });
}

}  // namespace korvane::pool
