#pragma once

// Sizes computed from user input are checked before anything is allocated: a
// product that overflows, or a call that needs more memory than the process
// can ever have, fails at once with std::bad_alloc instead of wrapping around
// or being filled page by page until the kernel kills the process.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

// A failed size check: a std::bad_alloc that says what needed how many bytes.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Byte counts that saturate instead of wrapping: a count too large for 64 bits
// stays at the maximum, which no memory limit reaches.
inline constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

[[nodiscard]] constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? kSaturated : product;
}
[[nodiscard]] constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? kSaturated : sum;
}

// A control group's memory limit from the content of its cgroup v2
// `memory.max` or v1 `memory.limit_in_bytes` file; none when unlimited or
// unreadable.
[[nodiscard]] std::optional<std::uint64_t> memory_from_cgroup(std::string_view limit_file);

// The most memory this process can have: physical memory, lowered by the
// limit of its control group or any ancestor's; unlimited when neither is
// known.
[[nodiscard]] std::uint64_t memory_limit();

// The most memory this process has held at once so far; 0 when unknown.
[[nodiscard]] std::uint64_t peak_resident_bytes();

// Throws OutOfMemory when `bytes` exceeds `limit`; `what` names the need in
// the message ("forest weights of 10 rows over 20 training rows").
void reserve(std::uint64_t bytes, std::string_view what, std::uint64_t limit);
// Against memory_limit(). A need no larger than what the process has already
// held fits under any limit it runs under, so only larger ones pay for
// reading the limit (a parse of the mount table, which costs more than a
// small fit).
inline void reserve(std::uint64_t bytes, std::string_view what) {
  if (bytes <= peak_resident_bytes()) return;
  reserve(bytes, what, memory_limit());
}

// Asks the kernel to back [data, data + bytes) with huge pages where whole ones
// fit: a large fresh buffer then faults in one page per 2 MiB instead of per
// 4 KiB, which is most of the cost of its first write. Only advice: without
// it the memory is the same, just slower to touch first.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// An allocator for results whose every element the computation writes itself,
// from parallel tasks: growing a vector leaves the elements unwritten instead
// of zeroing the whole buffer first on one thread, so each task touches its
// part of the result first and finds it in its own cache. Large buffers get
// huge-page advice.
template <class T>
struct UnfilledAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UnfilledAllocator<U>;
  };
  UnfilledAllocator() = default;
  template <class U>
  explicit UnfilledAllocator(const UnfilledAllocator<U>&) noexcept {}

  [[nodiscard]] T* allocate(std::size_t count) {
    T* data = std::allocator<T>::allocate(count);
    advise_huge_pages(data, count * sizeof(T));
    return data;
  }
  template <class U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

// Doubles a computation fills in itself.
using UnfilledDoubles = std::vector<double, UnfilledAllocator<double>>;

}  // namespace korvane
