#include "korvane/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <sys/resource.h>
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

std::optional<std::uint64_t> soft_limit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  return limit.rlim_cur;
}

std::uint64_t left_under(std::uint64_t limit, std::uint64_t used) {
  return limit > used ? limit - used : 0;
}

// The unsigned integer in field `index` (from 0) of the file's fields split by
// `separator`.
std::optional<std::uint64_t> file_field(const char* path, std::size_t index, char separator) {
  const auto text = cgroup::read_file(path);
  if (!text) return std::nullopt;
  const auto fields = cgroup::split(cgroup::trim(*text), separator);
  return index < fields.size() ? cgroup::parse_unsigned(fields[index]) : std::nullopt;
}

std::optional<std::uint64_t> address_space_left() {
  const auto limit = soft_limit(RLIMIT_AS);
  if (!limit) return std::nullopt;
  const auto pages = file_field("/proc/self/statm", 0, ' ');
  const long page_size = sysconf(_SC_PAGESIZE);
  if (!pages || page_size <= 0) return *limit;
  return left_under(*limit, *pages * static_cast<std::uint64_t>(page_size));
}

std::optional<std::uint64_t> own_threads() {
  const auto status = cgroup::read_file("/proc/self/status");
  if (!status) return std::nullopt;
  for (const auto line : cgroup::split(*status, '\n')) {
    if (line.starts_with("Threads:")) return cgroup::parse_unsigned(line.substr(8));
  }
  return std::nullopt;
}

// The tasks of every user count against threads-max; /proc/loadavg's fourth
// field ends with their number.
std::optional<std::uint64_t> system_tasks_left() {
  const auto limit = file_field("/proc/sys/kernel/threads-max", 0, ' ');
  const auto loadavg = cgroup::read_file("/proc/loadavg");
  if (!limit || !loadavg) return std::nullopt;
  const auto fields = cgroup::split(cgroup::trim(*loadavg), ' ');
  if (fields.size() < 4) return std::nullopt;
  const auto counts = cgroup::split(fields[3], '/');
  const auto tasks = counts.size() == 2 ? cgroup::parse_unsigned(counts[1]) : std::nullopt;
  return tasks ? std::optional(left_under(*limit, *tasks)) : std::nullopt;
}

// RLIMIT_NPROC counts all of the user's tasks, which only the ones of this
// process stand for here; it does not bind root.
std::optional<std::uint64_t> user_tasks_left() {
  const auto limit = soft_limit(RLIMIT_NPROC);
  if (!limit || geteuid() == 0) return std::nullopt;
  return left_under(*limit, own_threads().value_or(0));
}

std::optional<std::uint64_t> group_tasks_left(const std::filesystem::path& directory, bool) {
  const auto limit = cgroup::read_file(directory / "pids.max");
  const auto used = cgroup::read_file(directory / "pids.current");
  const auto max = limit ? cgroup::parse_unsigned(*limit) : std::nullopt;  // "max": none
  const auto current = used ? cgroup::parse_unsigned(*used) : std::nullopt;
  return max ? std::optional(left_under(*max, current.value_or(0))) : std::nullopt;
}

std::optional<std::uint64_t> smallest(std::optional<std::uint64_t> a,
                                      std::optional<std::uint64_t> b) {
  if (!a || !b) return a ? a : b;
  return std::min(*a, *b);
}

// The one worker pool: the process-wide arena, the process that made it, the
// processors it found, and the raised cap on the scheduler's workers.
//
// The scheduler caps its workers at one less than the processor count; the cap
// is raised as far as the arenas in use need, and never lowered, because it is
// process-wide and lowering it would throttle every other user of the library.
class ProcessPool {
 public:
  ProcessPool(std::size_t size, std::size_t available)
      : arena_(static_cast<int>(size), 0), creator_(getpid()), available_(available) {
    allow_workers(size);
  }

  tbb::task_arena& arena() { return arena_; }
  [[nodiscard]] bool inherited() const { return getpid() != creator_; }
  [[nodiscard]] std::size_t available() const { return available_; }

  void allow_workers(std::size_t wanted) {
    const auto cap = tbb::global_control::max_allowed_parallelism;
    const std::lock_guard lock(mutex_);
    const std::size_t allowed = tbb::global_control::active_value(cap) - 1;
    if (wanted <= allowed) return;
    // Workers start lazily, so the ones allowed may not exist yet; the
    // process's threads bound those that do.
    const std::size_t started = own_threads().value_or(allowed);
    const std::size_t workers = std::min(wanted, started + startable_threads(thread_limits()));
    if (workers <= allowed) return;
    // The smallest value of all live controls applies, so the new one takes
    // over only once the old one is gone.
    auto raised = std::make_unique<tbb::global_control>(cap, workers + 1);
    raised_cap_ = std::move(raised);
  }

 private:
  tbb::task_arena arena_;
  pid_t creator_;
  std::size_t available_;
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

ThreadLimits thread_limits() {
  const auto stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
  const auto pids = cgroup::smallest_limit("pids", group_tasks_left);
  // glibc reserves 64 MiB of address space for each malloc arena it adds (up
  // to eight per processor), and a new thread's first allocation may add one.
  constexpr std::uint64_t kMallocArena = std::uint64_t{64} << 20;
  return {.address_space_left = address_space_left(),
          .bytes_per_thread = stack + kMallocArena,
          .tasks_left = smallest(smallest(system_tasks_left(), user_tasks_left()), pids)};
}

std::size_t startable_threads(const ThreadLimits& limits) {
  std::uint64_t startable = kMaxThreads;
  if (limits.address_space_left) {
    startable = std::min(startable, *limits.address_space_left / 2 /
                                        std::max<std::uint64_t>(limits.bytes_per_thread, 1));
  }
  if (limits.tasks_left) startable = std::min(startable, *limits.tasks_left / 2);
  return std::max<std::size_t>(startable, 1);
}

namespace {

ProcessPool& process_pool() {
  // Intentionally leaked: worker threads may still be winding down while
  // static destructors run at exit.
  static ProcessPool* const pool = [] {
    const std::size_t available = available_parallelism();
    return new ProcessPool(size_from_environment(std::getenv("RAYON_NUM_THREADS"),
                                                 std::getenv("RAYON_RS_NUM_CPUS"), available),
                           available);
  }();
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

std::size_t threads_for_call(std::size_t requested) {
  return std::clamp<std::size_t>(requested, 1, process_pool().available());
}

}  // namespace detail

}  // namespace korvane::pool
