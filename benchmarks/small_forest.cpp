// The per-tree cost of a small forest: fits the forest of the veteran
// benchmark (100 trees, bootstrap, min_samples_leaf 15, FEATURES per node) on
// dumped data REPS times, joined to the pool as the binding does for small
// fits, and prints processor microseconds per tree and a hash of every
// forest's nodes, leaf curves and recorded leaves, so that two builds'
// forests and costs compare in one run. Long runs suit `perf record`.
//
//   ./dev.sh core   (builds it with the core: CMake option KORVANE_BUILD_PROFILERS)
//   build/core/benchmarks/small_forest BASE REPS THREADS FEATURES
//     (THREADS 0: the process-wide pool)
//
// BASE is a file prefix of `dump.hpp`'s data (`scaling.py --dump`, or a
// veteran fold written the same way). Not part of the test suite.
#include <cstdio>
#include <ctime>
#include <string>

#include "dump.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/forest.hpp"
#include "korvane/pool.hpp"
#include "tree_hash.hpp"

using namespace korvane;

namespace {

void hash_tree(const Tree<StepFunction>& tree, bench::TreeHash& hash) {
  hash.mix_nodes(tree);
  for (std::size_t leaf = 0; leaf < tree.n_leaves(); ++leaf) {
    const StepCurve curve = tree.leaves[leaf];
    for (std::size_t j = 0; j < curve.size(); ++j) {
      hash.mix(curve.time(j));
      hash.mix(curve.values[j]);
    }
  }
}

void hash_forest(const Forest<StepFunction>& forest, bench::TreeHash& hash) {
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    hash_tree(forest.trees[b], hash);
    forest.recorded_leaves(b).visit([&](auto codes, auto) {
      for (const auto leaf : codes) hash.mix(std::uint64_t{leaf});
    });
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s BASE REPS THREADS FEATURES\n", argv[0]);
    return 2;
  }
  const bench::Dump dump(argv[1]);
  const std::size_t reps = std::stoul(argv[2]);
  const std::size_t count = std::stoul(argv[3]);
  pool::ThreadCount threads;  // empty: the process-wide pool
  if (count != 0) threads = count;
  ForestParams params;
  params.tree.min_samples_leaf = 15;
  params.tree.max_features = MaxFeatures::fixed(static_cast<std::uint32_t>(std::stoul(argv[4])));
  const Covariates covariates(dump.x());
  const LogRankCriterion criterion(dump.time, dump.event);
  const NelsonAalenLeaves leaves(dump.time, dump.event, {}, criterion.time_ranks());
  bench::TreeHash hash;
  const std::clock_t started = std::clock();
  for (std::size_t r = 0; r < reps; ++r) {
    const auto forest = pool::run_joined(
        threads, [&] { return grow_forest(covariates, criterion, leaves, params, r + 1); });
    hash_forest(forest, hash);
  }
  const double seconds = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
  std::printf("n=%zu: %.2f processor us per tree, hash %016llx\n", dump.time.size(),
              1e6 * seconds / static_cast<double>(reps * params.n_trees),
              static_cast<unsigned long long>(hash.value));
}
