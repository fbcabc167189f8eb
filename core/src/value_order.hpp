#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
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

// Stable; allocates nothing, so it suits the many short lists of small nodes
// and leaves.
template <class T, class Before>
void insertion_sort(std::span<T> items, Before before) {
  for (std::size_t i = 1; i < items.size(); ++i) {
    const T item = items[i];
    std::size_t j = i;
    for (; j > 0 && before(item, items[j - 1]); --j) items[j] = items[j - 1];
    items[j] = item;
  }
}

// Stable LSD radix sort over the first `n_digits` (at most kMaxDigits) digits,
// digit(item, d) in [0, n_buckets) (n_buckets at most kMaxBuckets) counted from
// the least significant; a digit that every item shares costs no pass.
// `scratch` is reused between calls.
template <std::size_t kMaxDigits, std::size_t kMaxBuckets, class T, class Digit>
void radix_sort(std::vector<T>& items, std::vector<T>& scratch, std::size_t n_digits,
                std::size_t n_buckets, Digit digit) {
  const std::size_t n = items.size();
  std::array<std::array<std::uint32_t, kMaxBuckets>, kMaxDigits> counts;
  for (std::size_t d = 0; d < n_digits; ++d) std::fill_n(counts[d].begin(), n_buckets, 0);
  for (const T& item : items) {
    for (std::size_t d = 0; d < n_digits; ++d) ++counts[d][digit(item, d)];
  }
  scratch.resize(n);
  for (std::size_t d = 0; d < n_digits; ++d) {
    std::array<std::uint32_t, kMaxBuckets>& count = counts[d];
    if (count[digit(items[0], d)] == n) continue;
    std::uint32_t offset = 0;
    for (std::size_t b = 0; b < n_buckets; ++b) offset += std::exchange(count[b], offset);
    for (const T& item : items) scratch[count[digit(item, d)]++] = item;
    items.swap(scratch);
  }
}

struct KeyedIndex {
  std::uint64_t key;
  std::uint32_t index;
};

// Ascending by key; entries with equal keys keep their input order.
inline void sort_by_key(std::vector<KeyedIndex>& items, std::vector<KeyedIndex>& scratch) {
  if (items.size() < kShortestRadixSort) {
    insertion_sort(std::span(items),
                   [](const KeyedIndex& a, const KeyedIndex& b) { return a.key < b.key; });
    return;
  }
  std::uint64_t all_bits = 0;
  for (const KeyedIndex& item : items) all_bits |= item.key;
  const auto n_bytes = static_cast<std::size_t>(std::bit_width(all_bits) + 7) / 8;
  radix_sort<8, 256>(items, scratch, n_bytes, 256, [](const KeyedIndex& item, std::size_t byte) {
    return (item.key >> (8 * byte)) & 0xFF;
  });
}

// The midpoint threshold between two neighbouring distinct values (both zeros
// read as 0.0). Between the largest present value and a missing one it is
// +inf: the split "is missing", which sends every present value left.
[[nodiscard]] inline double midpoint(double left, double right) {
  if (std::isnan(right)) return std::numeric_limits<double>::infinity();
  return (key_value(order_key(left)) + key_value(order_key(right))) * 0.5;
}

// An entry of a position order: (rank << 32) | position, where equal values
// share a rank and ranks ascend with the values. Half the size of a keyed
// index, so the sorts move half the bytes.
using RankedPosition = std::uint64_t;

[[nodiscard]] inline RankedPosition ranked_position(std::uint32_t rank, std::uint32_t position) {
  return (std::uint64_t{rank} << 32) | position;
}
[[nodiscard]] inline std::uint32_t position_of(RankedPosition entry) {
  return static_cast<std::uint32_t>(entry);
}
[[nodiscard]] inline std::uint32_t rank_of(RankedPosition entry) {
  return static_cast<std::uint32_t>(entry >> 32);
}

// Buffers reused between sorts.
struct OrderScratch {
  std::vector<RankedPosition> ranked;
  std::vector<std::uint32_t> counts;
  std::vector<KeyedIndex> keyed;
  std::vector<KeyedIndex> keyed_scratch;
};

// Ranks spanning at most this many values, and at most a few per entry, are
// sorted by counting: one pass over the entries.
constexpr std::uint32_t kLongestCountingRange = 1u << 16;
constexpr std::size_t kCountingRangePerEntry = 4;

// Ranks spanning at most this many values are sorted by a pass per value
// that copies every entry and keeps those of the value. Counting would
// increment and read back the same few counts entry after entry (a binary
// covariate has two), each waiting for the store before it; a pass waits on
// nothing.
constexpr std::uint32_t kLongestKeepingRange = 4;

// Digits of a radix sort of ranks: wider digits take fewer passes over the
// entries, but each pass clears and sums 2^bits counts, and beyond 11 bits
// those counts and the pass's scattered writes outgrow the first-level cache.
constexpr unsigned kWidestRankDigit = 11;
constexpr std::size_t kMostRankDigits = 4;

struct RadixDigits {
  std::size_t count;
  unsigned bits;
};

// The digits of the least work, passes times (entries + counts), for `n`
// entries of ranks spanning `key_bits` bits above the lowest. Sized to the
// node's span rather than to whole bytes, 20-bit ranks take two passes, not three.
inline RadixDigits radix_digits(unsigned key_bits, std::size_t n) {
  RadixDigits best{};
  std::size_t least_work = SIZE_MAX;
  for (std::size_t count = std::max(1u, (key_bits + kWidestRankDigit - 1) / kWidestRankDigit);
       count <= kMostRankDigits; ++count) {
    const auto bits = static_cast<unsigned>((key_bits + count - 1) / count);
    const std::size_t work = count * (n + (std::size_t{1} << bits));
    if (work < least_work) {
      least_work = work;
      best = {count, bits};
    }
  }
  return best;
}

// Sorts `items`, whose ranks lie in [lowest, lowest + range), by a pass per
// rank; stable.
inline void keep_by_rank(std::vector<RankedPosition>& items, std::uint32_t lowest,
                         std::uint32_t range, std::vector<RankedPosition>& sorted) {
  const std::size_t n = items.size();
  sorted.resize(n + 1);  // a pass writes one entry past the last it keeps
  std::size_t kept = 0;
  for (std::uint32_t r = 0; r < range; ++r) {
    for (const RankedPosition item : items) {
      sorted[kept] = item;
      kept += rank_of(item) - lowest == r ? 1 : 0;
    }
  }
  sorted.resize(n);
  items.swap(sorted);
}

// Ascending; built with positions in ascending order, so equal ranks keep their
// input order whichever way is used: counting when the ranks span a short range,
// insertion for short lists, else radix passes over the span of the ranks.
inline void sort_ranked(std::vector<RankedPosition>& items, OrderScratch& scratch) {
  const std::size_t n = items.size();
  if (n < 2) return;
  std::uint32_t lowest = UINT32_MAX;
  std::uint32_t highest = 0;
  for (const RankedPosition item : items) {
    lowest = std::min(lowest, rank_of(item));
    highest = std::max(highest, rank_of(item));
  }
  const std::uint32_t range = highest - lowest + 1;  // no wrap: lowest <= highest
  std::vector<RankedPosition>& sorted = scratch.ranked;
  if (range != 0 && range <= kLongestKeepingRange) {
    keep_by_rank(items, lowest, range, sorted);
    return;
  }
  if (range != 0 && range <= kLongestCountingRange && range <= kCountingRangePerEntry * n) {
    std::vector<std::uint32_t>& start = scratch.counts;
    start.assign(range + 1, 0);
    for (const RankedPosition item : items) ++start[rank_of(item) - lowest + 1];
    for (std::uint32_t r = 1; r <= range; ++r) start[r] += start[r - 1];
    sorted.resize(n);
    for (const RankedPosition item : items) sorted[start[rank_of(item) - lowest]++] = item;
    items.swap(sorted);
    return;
  }
  if (n < kShortestRadixSort) {
    insertion_sort(std::span(items), [](RankedPosition a, RankedPosition b) { return a < b; });
    return;
  }
  const RadixDigits digits = radix_digits(std::bit_width(highest - lowest), n);
  const std::uint32_t mask = (std::uint32_t{1} << digits.bits) - 1;
  radix_sort<kMostRankDigits, std::size_t{1} << kWidestRankDigit>(
      items, sorted, digits.count, std::size_t{mask} + 1, [&](RankedPosition item, std::size_t d) {
        return ((rank_of(item) - lowest) >> (digits.bits * d)) & mask;
      });
}

// Positions 0 .. n - 1 sorted by their keys (`key_at(position)`), equal keys in
// position order, each packed with its dense rank among the keys.
template <class KeyAt>
void order_by_keys(std::size_t n, KeyAt&& key_at, std::vector<RankedPosition>& out,
                   OrderScratch& scratch) {
  scratch.keyed.resize(n);
  for (std::uint32_t pos = 0; pos < n; ++pos) scratch.keyed[pos] = {key_at(pos), pos};
  sort_by_key(scratch.keyed, scratch.keyed_scratch);
  out.resize(n);
  std::uint32_t rank = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && scratch.keyed[i].key != scratch.keyed[i - 1].key) ++rank;
    out[i] = ranked_position(rank, scratch.keyed[i].index);
  }
}

// Writes the dense rank of value_of(i) for i in [0, n) to rank[i]: equal
// values share a rank, -0.0 equals 0.0, NaN ranks last.
template <class ValueOf>
void rank_values(std::size_t n, ValueOf&& value_of, std::span<std::uint32_t> rank,
                 std::vector<RankedPosition>& order, OrderScratch& scratch) {
  order_by_keys(n, [&](std::uint32_t i) { return order_key(value_of(i)); }, order, scratch);
  for (const RankedPosition entry : order) rank[position_of(entry)] = rank_of(entry);
}

// The dense rank of every value (rank_values over a whole array).
[[nodiscard]] inline std::vector<std::uint32_t> dense_ranks(std::span<const double> values) {
  std::vector<std::uint32_t> ranks(values.size());
  std::vector<RankedPosition> order;
  OrderScratch scratch;
  rank_values(values.size(), [&](std::size_t i) { return values[i]; }, ranks, order, scratch);
  return ranks;
}

// Positions 0 .. n - 1 in ascending order of their ranks (`rank_at(position)`),
// equal ranks in position order, each packed with its rank.
template <class RankAt>
void order_by_rank(std::size_t n, RankAt&& rank_at, std::vector<RankedPosition>& out,
                   OrderScratch& scratch) {
  out.resize(n);
  for (std::uint32_t pos = 0; pos < n; ++pos) {
    out[pos] = ranked_position(rank_at(pos), pos);
  }
  sort_ranked(out, scratch);
}

// How many entries ahead a gather asks the caches for what it reads.
constexpr std::size_t kGatherAhead = 32;

// Asks the caches for data[indices[i + kGatherAhead] * stride], for a loop
// reading data[indices[i] * stride] at each i. A node's rows (or positions) lie
// anywhere in arrays over all rows (or the node), so each read of a large node
// may miss; asking ahead puts the misses of many entries under way at once.
template <class T>
void prefetch_gather(const T* data, std::span<const std::uint32_t> indices, std::size_t i,
                     std::size_t stride = 1) {
  if (i + kGatherAhead < indices.size()) {
    __builtin_prefetch(data + std::size_t{indices[i + kGatherAhead]} * stride);
  }
}

// The order of `rows` by their values in one covariate column.
inline void order_by_covariate(const Covariates& covariates, std::span<const std::uint32_t> rows,
                               std::uint32_t feature, std::vector<RankedPosition>& out,
                               OrderScratch& scratch) {
  const std::size_t stride = covariates.n_features();
  const std::uint32_t* column = covariates.ranks.data() + feature;
  order_by_rank(
      rows.size(),
      [&](std::uint32_t pos) {
        prefetch_gather(column, rows, pos, stride);
        return column[std::size_t{rows[pos]} * stride];
      },
      out, scratch);
}

// Calls store(slot, i, rank) with the rank of rows[i] in features[slot], for
// every i and slot: one pass over the rows, each row's ranks of all the
// features read together from the line or two that hold them.
template <class Store>
void gather_ranks(const Covariates& covariates, std::span<const std::uint32_t> rows,
                  std::span<const std::uint32_t> features, Store&& store) {
  if (features.empty()) return;
  const std::size_t stride = covariates.n_features();
  const auto [first, last] = std::minmax_element(features.begin(), features.end());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    prefetch_gather(covariates.ranks.data() + *first, rows, i, stride);
    prefetch_gather(covariates.ranks.data() + *last, rows, i, stride);
    const std::uint32_t* row = covariates.ranks.data() + std::size_t{rows[i]} * stride;
    for (std::size_t slot = 0; slot < features.size(); ++slot) store(slot, i, row[features[slot]]);
  }
}

}  // namespace korvane::detail
