#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

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

// The one process-wide arena, created on first use and never destroyed.
tbb::task_arena& arena();

// Number of threads of the process-wide pool (creates it).
[[nodiscard]] inline std::size_t thread_count() {
  return static_cast<std::size_t>(arena().max_concurrency());
}

// Runs body(i) for every i in [0, n) on the pool; the caller waits.
template <class Body>
void parallel_for_each(std::size_t n, Body&& body) {
  if (n == 0) return;
  arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                      [&](const tbb::blocked_range<std::size_t>& range) {
                        for (std::size_t i = range.begin(); i != range.end(); ++i) body(i);
                      });
  });
}

// Computes make(i) for every i in [0, n) on the pool; results are placed by
// index, so their order never depends on scheduling.
template <class Make>
auto parallel_map(std::size_t n, Make&& make) {
  using Result = decltype(make(std::size_t{0}));
  std::vector<std::optional<Result>> slots(n);
  parallel_for_each(n, [&](std::size_t i) { slots[i].emplace(make(i)); });
  std::vector<Result> results;
  results.reserve(n);
  for (auto& slot : slots) results.push_back(std::move(*slot));
  return results;
}

}  // namespace korvane::pool
