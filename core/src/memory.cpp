#include "korvane/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <filesystem>

#include "cgroup.hpp"

namespace korvane {

namespace {

std::optional<std::uint64_t> physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0) {
    return saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
  }
#endif
  return std::nullopt;
}

std::optional<std::uint64_t> memory_in_directory(const std::filesystem::path& directory, bool v1) {
  const auto content = cgroup::read_file(directory / (v1 ? "memory.limit_in_bytes" : "memory.max"));
  return content ? memory_from_cgroup(*content) : std::nullopt;
}

std::string bytes_text(std::uint64_t bytes) {
  if (bytes == kSaturated) return "more than " + std::to_string(kSaturated) + " bytes";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

std::optional<std::uint64_t> memory_from_cgroup(std::string_view limit_file) {
  // "max" in v2; v1 writes a huge page-rounded number, which the physical
  // memory then bounds anyway.
  return cgroup::parse_unsigned(limit_file);
}

std::uint64_t memory_limit() {
  const std::uint64_t physical = physical_memory().value_or(kSaturated);
  const auto group = cgroup::smallest_limit("memory", memory_in_directory);
  return std::min(physical, group.value_or(physical));
}

std::uint64_t peak_resident_bytes() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0 || usage.ru_maxrss <= 0) return 0;
  const auto peak = static_cast<std::uint64_t>(usage.ru_maxrss);
#if defined(__APPLE__)
  return peak;  // bytes there
#else
  return saturating_mul(peak, 1024);  // kibibytes
#endif
}

void reserve(std::uint64_t bytes, std::string_view what, std::uint64_t limit) {
  if (bytes <= limit) return;
  throw OutOfMemory(std::string(what) + " needs " + bytes_text(bytes) + ", more than the " +
                    std::to_string(limit) + " bytes of memory this process can have");
}

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace korvane
