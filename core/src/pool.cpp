#include "korvane/pool.hpp"

#include <oneapi/tbb/global_control.h>

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

namespace korvane::pool {

namespace {

namespace fs = std::filesystem;

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The whole of `text` as a decimal integer; none for anything else (spaces,
// a plus sign, trailing text, values that do not fit).
template <class Integer>
std::optional<Integer> parse_integer(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A pool-size variable counts only when it is a positive decimal integer; one
// too large for any integer type still asks for more threads than the cap.
std::optional<std::size_t> positive_count(const char* variable) {
  if (variable == nullptr) return std::nullopt;
  const std::string_view text(variable);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t count = parse_integer<std::size_t>(text).value_or(kMaxThreads);
  if (count == 0) return std::nullopt;
  return count;
}

std::optional<std::size_t> cpus_from_quota(std::uint64_t quota, std::uint64_t period) {
  if (period == 0) return std::nullopt;
  return std::max<std::uint64_t>(1, quota / period);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// Processors and quotas are read from Linux interfaces; elsewhere every
// processor the system reports counts and no quota is known.
#if defined(__linux__)

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return content.str();
}

bool contains(const std::vector<std::string_view>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Where this process sits in the hierarchy that limits its CPU time, read
// from /proc/self/cgroup. A cgroup v1 line naming the cpu controller wins over
// the v2 line: on hybrid systems the v2 tree usually carries no cpu controller.
struct CgroupPlace {
  bool v1 = false;
  std::string path;
};

std::optional<CgroupPlace> find_cgroup_place(std::string_view proc_self_cgroup) {
  std::optional<CgroupPlace> place;
  for (const auto line : split(proc_self_cgroup, '\n')) {
    const auto fields = split(line, ':');
    if (fields.size() < 3) continue;
    const auto path = line.substr(fields[0].size() + fields[1].size() + 2);
    if (fields[1].empty() && !place) place = CgroupPlace{false, std::string(path)};
    if (contains(split(fields[1], ','), "cpu")) return CgroupPlace{true, std::string(path)};
  }
  return place;
}

// Mount of the hierarchy: the cgroup path it exposes (its root) and where.
struct CgroupMount {
  std::string root;
  fs::path mount_point;
};

// Fields of a mountinfo line: id, parent, device, root, mount point, options,
// optional fields up to "-", then file-system type, source, super options.
std::optional<CgroupMount> find_cgroup_mount(std::string_view mountinfo, bool v1) {
  for (const auto line : split(mountinfo, '\n')) {
    const auto fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || fields.end() - dash < 4) continue;
    const bool match =
        v1 ? dash[1] == "cgroup" && contains(split(dash[3], ','), "cpu") : dash[1] == "cgroup2";
    if (match) return CgroupMount{std::string(fields[3]), fs::path(std::string(fields[4]))};
  }
  return std::nullopt;
}

std::optional<std::size_t> cpus_in_directory(const fs::path& directory, bool v1) {
  if (!v1) {
    const auto cpu_max = read_file(directory / "cpu.max");
    return cpu_max ? cpus_from_cgroup_v2(*cpu_max) : std::nullopt;
  }
  const auto quota = read_file(directory / "cpu.cfs_quota_us");
  const auto period = read_file(directory / "cpu.cfs_period_us");
  return quota && period ? cpus_from_cgroup_v1(*quota, *period) : std::nullopt;
}

// Any ancestor's quota also binds this process, so every level from the root
// of the mount down to the process's own group is read and the smallest limit
// wins.
std::optional<std::size_t> cgroup_cpu_limit() {
  const auto proc_self_cgroup = read_file("/proc/self/cgroup");
  const auto mountinfo = read_file("/proc/self/mountinfo");
  if (!proc_self_cgroup || !mountinfo) return std::nullopt;
  const auto place = find_cgroup_place(*proc_self_cgroup);
  if (!place) return std::nullopt;
  const auto mount = find_cgroup_mount(*mountinfo, place->v1);
  if (!mount) return std::nullopt;

  // A path outside the mount's root (a group above this namespace) cannot be
  // reached through the mount.
  const fs::path relative = fs::path(place->path)
                                .lexically_normal()
                                .lexically_relative(fs::path(mount->root).lexically_normal());
  if (relative.empty() || *relative.begin() == "..") return std::nullopt;

  std::optional<std::size_t> limit;
  fs::path directory = mount->mount_point;
  const auto lower_limit = [&] {
    const auto cpus = cpus_in_directory(directory, place->v1);
    if (cpus) limit = std::min(limit.value_or(*cpus), *cpus);
  };
  lower_limit();
  for (const auto& component : relative) {
    if (component == "." || component.empty()) continue;
    directory /= component;
    lower_limit();
  }
  return limit;
}

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

std::optional<std::size_t> cgroup_cpu_limit() { return std::nullopt; }

std::optional<std::size_t> affinity_cpu_count() {
  const unsigned count = std::thread::hardware_concurrency();
  if (count == 0) return std::nullopt;
  return count;
}

#endif

// The scheduler caps its workers at the processor count; the cap is raised when
// more threads are asked for, and otherwise left alone, because it is
// process-wide and lowering it would throttle every other user of the library.
std::unique_ptr<tbb::global_control> raise_thread_cap(std::size_t size) {
  const auto cap = tbb::global_control::max_allowed_parallelism;
  if (size <= tbb::global_control::active_value(cap)) return nullptr;
  return std::make_unique<tbb::global_control>(cap, size);
}

struct ProcessPool {
  explicit ProcessPool(std::size_t size)
      : raised_cap(raise_thread_cap(size)), arena(static_cast<int>(size)) {}

  std::unique_ptr<tbb::global_control> raised_cap;
  tbb::task_arena arena;
};

}  // namespace

std::size_t size_from_environment(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t available) {
  const std::size_t size = positive_count(rayon_num_threads)
                               .value_or(positive_count(rayon_rs_num_cpus).value_or(available));
  return std::clamp<std::size_t>(size, 1, kMaxThreads);
}

std::optional<std::size_t> cpus_from_cgroup_v2(std::string_view cpu_max) {
  const auto fields = split(trim(cpu_max), ' ');
  if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
  const auto quota = parse_integer<std::uint64_t>(fields[0]);
  const auto period = parse_integer<std::uint64_t>(fields[1]);
  return quota && period ? cpus_from_quota(*quota, *period) : std::nullopt;
}

std::optional<std::size_t> cpus_from_cgroup_v1(std::string_view cfs_quota_us,
                                               std::string_view cfs_period_us) {
  // A negative quota (-1) means no limit.
  const auto quota = parse_integer<std::int64_t>(trim(cfs_quota_us));
  const auto period = parse_integer<std::uint64_t>(trim(cfs_period_us));
  if (!quota || *quota < 0 || !period) return std::nullopt;
  return cpus_from_quota(static_cast<std::uint64_t>(*quota), *period);
}

std::size_t available_parallelism() {
  const auto affinity = affinity_cpu_count();
  if (!affinity) return 1;
  return std::min(*affinity, cgroup_cpu_limit().value_or(*affinity));
}

tbb::task_arena& arena() {
  // Intentionally leaked: worker threads may still be winding down while
  // static destructors run at exit.
  static ProcessPool* const pool = new ProcessPool(size_from_environment(
      std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_parallelism()));
  return pool->arena;
}

}  // namespace korvane::pool
