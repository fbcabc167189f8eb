#pragma once

#include <cstdint>
#include <span>

namespace korvane::detail {

// XXH64 with seed 0: a published 64-bit hash that runs at several bytes per
// cycle, so checking a file of tens of megabytes costs little next to reading it.
[[nodiscard]] std::uint64_t xxh64(std::span<const std::uint8_t> bytes);

}  // namespace korvane::detail
