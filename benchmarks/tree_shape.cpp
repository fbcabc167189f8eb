// Where a forest's time goes, per tree: depth, nodes, the sum of the node sizes
// the split search saw, processor seconds of the searches by node size, and a
// hash of every node (feature, threshold and score bits, children) to compare
// two builds' trees. Links the core directly, so that nothing but the fit is
// timed; the data come from `scaling.py --dump DIR`.
//
//   ./dev.sh core   (builds it with the core: CMake option KORVANE_BUILD_PROFILERS)
//   build/core/benchmarks/tree_shape DIR/n1000000_rounded TREES THREADS FEATURES
//     (FEATURES 0: one tree, all features)
//
// Not part of the test suite.
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dump.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/forest.hpp"
#include "tree_hash.hpp"

using namespace korvane;

namespace {

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Searches and their rows and seconds, by node size class (4^k up to 4^(k+1) rows).
struct Searches {
  std::mutex mutex;
  std::size_t count = 0;
  std::size_t rows = 0;
  std::array<double, 17> seconds{};
};

// The log-rank criterion, timed, searching in the buffers the builder lends it
// as the untimed criterion does, so that the times are those of a fit.
struct TimedCriterion {
  using Scratch = LogRankCriterion::Scratch;

  const LogRankCriterion& inner;
  Searches& searches;

  [[nodiscard]] std::size_t n_samples() const { return inner.n_samples(); }
  [[nodiscard]] std::span<const double> weight() const { return inner.weight(); }
  std::optional<BestSplit> find_best_split(const Covariates& covariates,
                                           std::span<const std::uint32_t> rows,
                                           std::span<const std::uint32_t> features,
                                           const ChildFloor& floor,
                                           const CallControl& control) const {
    Scratch scratch;
    return find_best_split(covariates, rows, features, floor, control, scratch);
  }
  std::optional<BestSplit> find_best_split(const Covariates& covariates,
                                           std::span<const std::uint32_t> rows,
                                           std::span<const std::uint32_t> features,
                                           const ChildFloor& floor, const CallControl& control,
                                           Scratch& scratch) const {
    const double start = thread_seconds();
    auto best = inner.find_best_split(covariates, rows, features, floor, control, scratch);
    const double seconds = thread_seconds() - start;
    std::size_t size_class = 0;
    for (std::size_t m = rows.size(); m >= 4 && size_class + 1 < 17; m /= 4) ++size_class;
    const std::lock_guard lock(searches.mutex);
    ++searches.count;
    searches.rows += rows.size();
    searches.seconds[size_class] += seconds;
    return best;
  }
};

static_assert(ScratchCriterion<TimedCriterion>);

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s BASE TREES THREADS FEATURES\n", argv[0]);
    return 2;
  }
  const bench::Dump dump(argv[1]);
  const MatrixView x = dump.x();
  const std::span<const double> time = dump.time;
  const std::span<const std::uint8_t> event = dump.event;
  const std::size_t n = dump.time.size();
  ForestParams params;
  params.n_trees = std::stoul(argv[2]);
  params.tree.min_samples_leaf = 15;
  const auto features = static_cast<std::uint32_t>(std::stoul(argv[4]));
  params.tree.max_features = features == 0 ? MaxFeatures::all() : MaxFeatures::fixed(features);
  const std::clock_t started = std::clock();
  const Covariates covariates(x);
  const LogRankCriterion criterion(time, event);
  Searches searches;
  const TimedCriterion timed{criterion, searches};
  const NelsonAalenLeaves leaves{time, event};
  std::vector<Tree<StepFunction>> trees;
  if (features == 0) {
    trees.push_back(fit_tree(covariates, timed, leaves, params.tree, 1));
  } else {
    CallControl control;
    trees = pool::run(
                std::stoul(argv[3]), control, [] {},
                [&] { return grow_forest(covariates, timed, leaves, params, 1, control); })
                .trees;
  }
  const double seconds = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
  bench::TreeHash hash;
  std::size_t nodes = 0;
  std::uint32_t depth = 0;
  for (const auto& tree : trees) {
    hash.mix_nodes(tree);
    nodes += tree.n_nodes();
    depth = std::max(depth, tree.depth());
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "n=%zu trees=%zu: %.2f processor s (%.2f per tree), deepest %u, %zu nodes, %zu searched,"
      " node sizes summed %.1f n per tree, peak RSS %ld MB, hash %016llx\n",
      n, trees.size(), seconds, seconds / static_cast<double>(trees.size()), depth, nodes,
      searches.count, static_cast<double>(searches.rows) / static_cast<double>(n * trees.size()),
      usage.ru_maxrss / 1024, static_cast<unsigned long long>(hash.value));
  for (std::size_t k = 0; k < searches.seconds.size(); ++k) {
    if (searches.seconds[k] > 0.0) {
      std::printf("  searches of nodes of 4^%zu rows or more: %.2f s\n", k, searches.seconds[k]);
    }
  }
}
