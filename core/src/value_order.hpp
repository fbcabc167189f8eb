#pragma once

#include <algorithm>
#include <array>
#include <utility>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "korvane/data.hpp"

namespace korvane::detail {

// Maps a double to an integer whose unsigned order is the order of `<` on
// doubles: -0.0 and 0.0 share a key, and NaN (which `<` cannot place) gets the
// largest key. Criteria sort and group private copies of these keys, so a sort
// never sees an inconsistent comparison and every value group is non-empty even
// if the caller's arrays change during a fit.
[[nodiscard]] inline std::uint64_t order_key(double value) {
  if (std::isnan(value)) return UINT64_MAX;
  if (value == 0.0) value = 0.0;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// The value of a key (0.0 for both zeros).
[[nodiscard]] inline double key_value(std::uint64_t key) {
  const std::uint64_t bits = (key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key;
  return std::bit_cast<double>(bits);
}

// Below this many entries an insertion sort beats the radix passes.
constexpr std::size_t kShortestRadixSort = 64;

struct KeyedIndex {
  std::uint64_t key;
  std::uint32_t index;
};

// Ascending by key; entries with equal keys keep their input order. Short
// lists by insertion; longer ones by an LSD radix sort (stable, byte by byte,
// skipping bytes that all keys share); `scratch` is reused between calls.
inline void sort_by_key(std::vector<KeyedIndex>& items, std::vector<KeyedIndex>& scratch) {
  const std::size_t n = items.size();
  if (n < kShortestRadixSort) {
    for (std::size_t i = 1; i < n; ++i) {
      const KeyedIndex item = items[i];
      std::size_t j = i;
      for (; j > 0 && items[j - 1].key > item.key; --j) items[j] = items[j - 1];
      items[j] = item;
    }
    return;
  }
  std::uint64_t all_bits = 0;
  for (const KeyedIndex& item : items) all_bits |= item.key;
  const auto n_bytes = static_cast<std::size_t>(std::bit_width(all_bits) + 7) / 8;
  std::array<std::array<std::uint32_t, 256>, 8> counts{};
  for (const KeyedIndex& item : items) {
    for (std::size_t byte = 0; byte < n_bytes; ++byte) ++counts[byte][(item.key >> (8 * byte)) & 0xFF];
  }
  scratch.resize(n);
  for (std::size_t byte = 0; byte < n_bytes; ++byte) {
    std::array<std::uint32_t, 256>& count = counts[byte];
    if (count[(items[0].key >> (8 * byte)) & 0xFF] == n) continue;
    std::uint32_t offset = 0;
    for (std::uint32_t& c : count) offset += std::exchange(c, offset);
    for (const KeyedIndex& item : items) scratch[count[(item.key >> (8 * byte)) & 0xFF]++] = item;
    items.swap(scratch);
  }
}

// The midpoint threshold between two neighbouring distinct values (both zeros
// read as 0.0).
[[nodiscard]] inline double midpoint(double left, double right) {
  return (key_value(order_key(left)) + key_value(order_key(right))) * 0.5;
}

// Sort keys of a covariate value and of a time: their ranks when the fit
// attached them, else the values' own keys; either way the same order.
[[nodiscard]] inline std::uint64_t covariate_key(const SurvivalData& data, std::uint32_t row,
                                                 std::uint32_t feature) {
  return data.ranks != nullptr ? data.ranks->x_rank(row, feature)
                               : order_key(data.x.at(row, feature));
}
[[nodiscard]] inline std::uint64_t time_key(const SurvivalData& data, std::uint32_t row) {
  return data.ranks != nullptr ? data.ranks->time[row] : order_key(data.time[row]);
}

}  // namespace korvane::detail
