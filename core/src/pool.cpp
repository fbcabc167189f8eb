#include "korvane/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <unistd.h>

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "cgroup.hpp"

namespace korvane::pool {

namespace {

// A pool-size variable counts only when it is a positive decimal integer; one
// too large for any integer type still asks for more threads than the cap.
std::optional<std::size_t> positive_count(const char* variable) {
  if (variable == nullptr) return std::nullopt;
  const std::string_view text(variable);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t count = cgroup::parse_unsigned(text).value_or(kMaxThreads);
  if (count == 0) return std::nullopt;
  return count;
}

std::optional<std::size_t> cpus_from_quota(std::uint64_t quota, std::uint64_t period) {
  if (period == 0) return std::nullopt;
  return std::max<std::uint64_t>(1, quota / period);
}

std::optional<std::uint64_t> cpus_in_directory(const std::filesystem::path& directory, bool v1) {
  if (!v1) {
    const auto cpu_max = cgroup::read_file(directory / "cpu.max");
    return cpu_max ? cpus_from_cgroup_v2(*cpu_max) : std::nullopt;
  }
  const auto quota = cgroup::read_file(directory / "cpu.cfs_quota_us");
  const auto period = cgroup::read_file(directory / "cpu.cfs_period_us");
  return quota && period ? cpus_from_cgroup_v1(*quota, *period) : std::nullopt;
}

// Processors are read from the affinity mask on Linux; elsewhere every
// processor the system reports counts. (Control-group files exist only on
// Linux; elsewhere their reading finds nothing.)
#if defined(__linux__)

std::optional<std::size_t> affinity_cpu_count() {
  struct CpuSetFree {
    void operator()(cpu_set_t* set) const { CPU_FREE(set); }
  };
  // The kernel refuses a set smaller than its own CPU mask; grow until it fits.
  for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
    const std::unique_ptr<cpu_set_t, CpuSetFree> set(CPU_ALLOC(cpus));
    if (!set) return std::nullopt;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    if (sched_getaffinity(0, size, set.get()) == 0) {
      return static_cast<std::size_t>(CPU_COUNT_S(size, set.get()));
    }
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

#else

std::optional<std::size_t> affinity_cpu_count() {
  const unsigned count = std::thread::hardware_concurrency();
  if (count == 0) return std::nullopt;
  return count;
}

#endif

// The one worker pool: the process-wide arena, the process that made it, and
// the raised cap on the scheduler's workers.
//
// The scheduler caps its workers at one less than the processor count; the cap
// is raised as far as the arenas in use need, and never lowered, because it is
// process-wide and lowering it would throttle every other user of the library.
class ProcessPool {
 public:
  explicit ProcessPool(std::size_t size) : arena_(static_cast<int>(size), 0), creator_(getpid()) {
    allow_workers(size);
  }

  tbb::task_arena& arena() { return arena_; }
  [[nodiscard]] bool inherited() const { return getpid() != creator_; }

  void allow_workers(std::size_t workers) {
    const auto cap = tbb::global_control::max_allowed_parallelism;
    const std::lock_guard lock(mutex_);
    if (workers < tbb::global_control::active_value(cap)) return;
    // The smallest value of all live controls applies, so the new one takes
    // over only once the old one is gone.
    auto raised = std::make_unique<tbb::global_control>(cap, workers + 1);
    raised_cap_ = std::move(raised);
  }

 private:
  tbb::task_arena arena_;
  pid_t creator_;
  std::mutex mutex_;
  std::unique_ptr<tbb::global_control> raised_cap_;
};

ProcessPool& process_pool();

}  // namespace

std::size_t size_from_environment(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t available) {
  const std::size_t size = positive_count(rayon_num_threads)
                               .value_or(positive_count(rayon_rs_num_cpus).value_or(available));
  return std::clamp<std::size_t>(size, 1, kMaxThreads);
}

std::optional<std::size_t> cpus_from_cgroup_v2(std::string_view cpu_max) {
  const auto fields = cgroup::split(cgroup::trim(cpu_max), ' ');
  if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
  const auto quota = cgroup::parse_unsigned(fields[0]);
  const auto period = cgroup::parse_unsigned(fields[1]);
  return quota && period ? cpus_from_quota(*quota, *period) : std::nullopt;
}

std::optional<std::size_t> cpus_from_cgroup_v1(std::string_view cfs_quota_us,
                                               std::string_view cfs_period_us) {
  // A negative quota (-1) means no limit.
  const auto quota = cgroup::parse_signed(cfs_quota_us);
  const auto period = cgroup::parse_unsigned(cfs_period_us);
  if (!quota || *quota < 0 || !period) return std::nullopt;
  return cpus_from_quota(static_cast<std::uint64_t>(*quota), *period);
}

std::size_t available_parallelism() {
  const auto affinity = affinity_cpu_count();
  if (!affinity) return 1;
  const auto quota = cgroup::smallest_limit("cpu", cpus_in_directory);
  return std::min<std::size_t>(*affinity, quota.value_or(*affinity));
}

namespace {

ProcessPool& process_pool() {
  // Intentionally leaked: worker threads may still be winding down while
  // static destructors run at exit.
  static ProcessPool* const pool = new ProcessPool(size_from_environment(
      std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_parallelism()));
  return *pool;
}

}  // namespace

std::size_t thread_count() {
  return static_cast<std::size_t>(process_pool().arena().max_concurrency());
}

namespace detail {

bool inherited_by_fork() { return process_pool().inherited(); }

tbb::task_arena& process_arena() { return process_pool().arena(); }

void allow_workers(std::size_t workers) { process_pool().allow_workers(workers); }

}  // namespace detail

}  // namespace korvane::pool
