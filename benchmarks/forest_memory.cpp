// Where a forest's memory goes at scale: the heap the fit keeps (mallinfo2),
// the resident set it reaches, and per tree the bytes of its nodes, its leaf
// curves and its recorded leaves (at the width its leaf count needs). The data
// come from `scaling.py --dump DIR`; the settings are those of
// `scaling.py --forest` (4 features per node, bootstrap, leaf 15).
//
//   ./dev.sh core   (builds it with the core: CMake option KORVANE_BUILD_PROFILERS)
//   build/core/benchmarks/forest_memory DIR/n1000000_rounded TREES THREADS
//
// glibc only (mallinfo2, malloc_usable_size). Not part of the test suite.
#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "dump.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/forest.hpp"

using namespace korvane;

namespace {

// A field of /proc/self/status in MB.
double status_mb(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) / 1024.0;
  }
  return 0.0;
}

// Starts the peak resident set (VmHWM) afresh from the current one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double heap_in_use_mb() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd) / 1e6;
}

// The bytes malloc holds for a buffer, its chunk header included.
double held(const void* data) {
  return data == nullptr ? 0.0
                         : static_cast<double>(malloc_usable_size(const_cast<void*>(data)) +
                                               sizeof(std::size_t));
}

template <class T>
double held(const std::vector<T>& values) {
  return held(static_cast<const void*>(values.data()));
}

// A tree's recorded leaves, at whichever width.
double held(const RecordedLeaves& recorded) {
  return recorded.visit(
      [](auto codes, auto) { return held(static_cast<const void*>(codes.data())); });
}

void print_per_tree(const Forest<StepFunction>& forest) {
  double nodes = 0.0, curves = 0.0, points = 0.0, leaves = 0.0, sizes = 0.0, recorded = 0.0;
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const Tree<StepFunction>& tree = forest.trees[b];
    nodes += held(tree.nodes);
    curves += held(tree.leaves.time_index) + held(tree.leaves.values) + held(tree.leaves.offsets);
    points += static_cast<double>(tree.leaves.n_points());
    leaves += static_cast<double>(tree.n_leaves());
    sizes += held(forest.leaf_sizes[b]);
    recorded += held(forest.recorded_leaves(b));
  }
  const auto trees = static_cast<double>(forest.n_trees());
  std::printf("per tree: %.0f leaves, %.1f points per leaf\n", leaves / trees, points / leaves);
  std::printf(
      "per tree MB: nodes %.2f (%zu bytes each), leaf curves %.2f, recorded leaves %.2f, "
      "leaf sizes %.2f\n",
      nodes / trees / 1e6, sizeof(forest.trees[0].nodes[0]), curves / trees / 1e6,
      recorded / trees / 1e6, sizes / trees / 1e6);
  std::printf("shared by the trees: a table of %zu curve times, %.2f MB\n",
              forest.trees[0].leaves.table->size(), held(*forest.trees[0].leaves.table) / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE TREES THREADS\n", argv[0]);
    return 2;
  }
  const bench::Dump dump(argv[1]);
  const MatrixView x = dump.x();
  const std::span<const double> time = dump.time;
  const std::span<const std::uint8_t> event = dump.event;
  ForestParams params;
  params.n_trees = std::stoul(argv[2]);
  params.tree.min_samples_leaf = 15;
  params.tree.max_features = MaxFeatures::fixed(4);
  std::printf("data: resident %.0f MB\n", status_mb("VmRSS"));
  reset_peak();
  const double resident = status_mb("VmRSS");
  const double heap = heap_in_use_mb();
  const Covariates covariates(x);
  const LogRankCriterion criterion(time, event);
  std::printf("covariates and criterion: heap +%.1f MB\n", heap_in_use_mb() - heap);
  const double heap_before_forest = heap_in_use_mb();
  const NelsonAalenLeaves leaves(time, event, {}, criterion.time_ranks());
  CallControl control;
  const Forest<StepFunction> forest = pool::run(
      std::stoul(argv[3]), control, [] {},
      [&] { return grow_forest(covariates, criterion, leaves, params, 1, control); });
  std::printf(
      "forest of %zu trees: heap +%.1f MB; since the data: resident +%.0f MB, peak +%.0f MB\n",
      forest.n_trees(), heap_in_use_mb() - heap_before_forest, status_mb("VmRSS") - resident,
      status_mb("VmHWM") - resident);
  print_per_tree(forest);
}
