#include "korvane/forest.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "korvane/format.hpp"
#include "korvane/memory.hpp"

namespace korvane {

std::vector<ChaCha8Rng::Seed> derive_tree_seeds(std::uint64_t seed, std::size_t n_trees) {
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
  std::vector<ChaCha8Rng::Seed> seeds(n_trees);
  for (ChaCha8Rng::Seed& tree_seed : seeds) stream.fill_bytes(tree_seed);
  return seeds;
}

std::size_t sample_size(std::size_t n, double fraction) {
  const double rounded = std::round(fraction * static_cast<double>(n));
  std::size_t m = 0;
  if (rounded >= 18446744073709551616.0) {
    m = SIZE_MAX;
  } else if (rounded > 0.0) {
    m = static_cast<std::size_t>(rounded);
  }
  return std::clamp<std::size_t>(m, 1, n);
}

std::vector<std::uint32_t> draw_sample(std::size_t n, bool bootstrap, double fraction,
                                       ChaCha8Rng& stream) {
  if (!(fraction > 0.0 && fraction <= 1.0)) {
    fail("bootstrap fraction must lie in (0, 1], got " + format_shortest(fraction));
  }
  const std::size_t m = sample_size(n, fraction);
  if (bootstrap) {
    std::vector<std::uint32_t> sample(m);
    for (std::uint32_t& row : sample) row = static_cast<std::uint32_t>(stream.random_range(0, n));
    return sample;
  }
  std::vector<std::uint32_t> sample(n);
  for (std::size_t i = 0; i < n; ++i) sample[i] = static_cast<std::uint32_t>(i);
  for (std::size_t i = 0; i < m; ++i) {
    std::swap(sample[i], sample[stream.random_range(i, n)]);
  }
  sample.resize(m);
  return sample;
}

std::vector<double> predict_cumulative_hazard(const Forest<StepFunction>& forest,
                                              const MatrixView& x, std::span<const double> times) {
  std::vector<double> out(hazard_output_size(x.n_rows, times.size()), 0.0);
  for (const Tree<StepFunction>& tree : forest.trees) add_cumulative_hazard(tree, x, times, out);
  const auto n_trees = static_cast<double>(forest.n_trees());
  for (double& value : out) value /= n_trees;
  return out;
}

namespace {

// Divides accumulated weights by the number of trees, which also counts trees
// whose reached leaf was empty.
void average_over_trees(std::span<double> weights, std::size_t n_trees) {
  const auto divisor = static_cast<double>(n_trees);
  for (double& w : weights) w /= divisor;
}

// The training rows recorded in each leaf of one tree, in ascending row order.
struct LeafRows {
  std::vector<std::uint32_t> offsets;  // rows of leaf l: rows[offsets[l] .. offsets[l + 1])
  std::vector<std::uint32_t> rows;
};

LeafRows index_leaf_rows(std::span<const std::uint32_t> row_leaf,
                         std::span<const std::uint32_t> leaf_sizes) {
  LeafRows index;
  index.offsets.resize(leaf_sizes.size() + 1, 0);
  for (std::size_t l = 0; l < leaf_sizes.size(); ++l) {
    index.offsets[l + 1] = index.offsets[l] + leaf_sizes[l];
  }
  index.rows.resize(index.offsets.back());
  std::vector<std::uint32_t> next(index.offsets.begin(), index.offsets.end() - 1);
  for (std::uint32_t i = 0; i < row_leaf.size(); ++i) {
    if (row_leaf[i] != NO_LEAF) index.rows[next[row_leaf[i]]++] = i;
  }
  return index;
}

}  // namespace

template <class Payload>
std::vector<double> forest_weights(const Forest<Payload>& forest, const VectorView& x) {
  const std::size_t n = forest.n_train_samples();
  reserve(saturating_mul(n, sizeof(double)),
          "a forest-weight vector over " + std::to_string(n) + " training rows");
  std::vector<double> weights(n, 0.0);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const std::uint32_t leaf = forest.trees[b].predict_leaf(x);
    const std::uint32_t size = forest.leaf_sizes[b][leaf];
    if (size == 0) continue;
    const double increment = 1.0 / static_cast<double>(size);
    const std::span<const std::uint32_t> row_leaf = forest.leaf_row(b);
    for (std::size_t i = 0; i < n; ++i) {
      if (row_leaf[i] == leaf) weights[i] += increment;
    }
  }
  if (n > 0) average_over_trees(weights, forest.n_trees());
  return weights;
}

// The output of forest_weights_batch and the per-tree index of leaf rows it
// builds first (at most every training row and one offset per leaf and tree).
template <class Payload>
void reserve_batch_weights(const Forest<Payload>& forest, std::size_t n_rows) {
  const std::size_t n = forest.n_train_samples();
  const std::uint64_t output = saturating_mul(saturating_mul(n_rows, n), sizeof(double));
  const std::uint64_t index =
      saturating_mul(saturating_mul(forest.n_trees(), saturating_add(2 * std::uint64_t{n}, 1)),
                     sizeof(std::uint32_t));
  reserve(saturating_add(output, index), "a forest-weight matrix of " + std::to_string(n_rows) +
                                             " query rows over " + std::to_string(n) +
                                             " training rows");
}

// Query rows per pool task of forest_weights_batch.
constexpr std::size_t kQueryBlock = 64;

// `size` zeros. A large buffer asks for transparent huge pages before its first
// write: zeroing it then faults in one page per 2 MiB instead of per 4 KiB,
// which is most of the cost of a fresh buffer of this size.
std::vector<double> zeros(std::size_t size) {
  std::vector<double> values;
  values.reserve(size);
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(values.data());
  const std::uintptr_t end = begin + size * sizeof(double);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = end & ~(kHugePage - 1);
  // Only advice: without it the buffer is the same, just slower to fill.
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
  values.resize(size, 0.0);
  return values;
}

// Same sums as forest_weights: every weight receives its increments in tree
// order, so visiting only the rows of the reached leaf changes no bit, and
// dividing only the weights that received any leaves the others at 0 = 0 / B.
// Each task first descends every tree for a block of query rows, so that a
// tree's nodes stay in cache while it is descended.
template <class Payload>
std::vector<double> forest_weights_batch(const Forest<Payload>& forest, const MatrixView& x) {
  const std::size_t n = forest.n_train_samples();
  reserve_batch_weights(forest, x.n_rows);
  std::vector<double> out = zeros(x.n_rows * n);
  if (n == 0 || x.n_rows == 0) return out;
  const std::size_t n_trees = forest.n_trees();
  const std::vector<LeafRows> leaf_rows = pool::parallel_map(n_trees, [&](std::size_t b) {
    return index_leaf_rows(forest.leaf_row(b), forest.leaf_sizes[b]);
  });
  const auto divisor = static_cast<double>(n_trees);
  const std::size_t n_blocks = (x.n_rows + kQueryBlock - 1) / kQueryBlock;
  pool::parallel_for_each(n_blocks, [&](std::size_t block) {
    const std::size_t first = block * kQueryBlock;
    const std::size_t count = std::min(kQueryBlock, x.n_rows - first);
    std::vector<std::uint32_t> reached(n_trees * count);  // [b · count + i]
    for (std::size_t b = 0; b < n_trees; ++b) {
      for (std::size_t i = 0; i < count; ++i) {
        reached[b * count + i] = forest.trees[b].predict_leaf(x, first + i);
      }
    }
    // Rows whose weight received an increment, each once: a row is appended
    // (without a branch) when its weight is still 0, and increments are
    // positive. At most n rows, plus the slot the last write may use.
    std::vector<std::uint32_t> touched(n + 1);
    for (std::size_t i = 0; i < count; ++i) {
      const std::span<double> weights(out.data() + (first + i) * n, n);
      std::size_t n_touched = 0;
      for (std::size_t b = 0; b < n_trees; ++b) {
        const std::uint32_t leaf = reached[b * count + i];
        const std::uint32_t size = forest.leaf_sizes[b][leaf];
        if (size == 0) continue;
        const double increment = 1.0 / static_cast<double>(size);
        const LeafRows& index = leaf_rows[b];
        for (std::uint32_t k = index.offsets[leaf]; k < index.offsets[leaf + 1]; ++k) {
          const std::uint32_t row = index.rows[k];
          touched[n_touched] = row;
          n_touched += weights[row] == 0.0 ? 1 : 0;
          weights[row] += increment;
        }
      }
      for (std::size_t t = 0; t < n_touched; ++t) weights[touched[t]] /= divisor;
    }
  });
  return out;
}

template std::vector<double> forest_weights(const Forest<StepFunction>&, const VectorView&);
template std::vector<double> forest_weights(const Forest<NoPayload>&, const VectorView&);
template std::vector<double> forest_weights_batch(const Forest<StepFunction>&, const MatrixView&);
template std::vector<double> forest_weights_batch(const Forest<NoPayload>&, const MatrixView&);

}  // namespace korvane
