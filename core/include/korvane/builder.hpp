#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <queue>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvane/call_control.hpp"
#include "korvane/criterion.hpp"
#include "korvane/data.hpp"
#include "korvane/error.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/params.hpp"
#include "korvane/rng.hpp"
#include "korvane/sample_weights.hpp"
#include "korvane/sampling.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// Moves the rows that `split` sends left (goes_left) to the front, in place,
// and returns how many there are. The resulting order is part of the model: the
// children's split searches see their rows in it.
std::size_t partition(const MatrixView& x, std::span<std::uint32_t> rows, const node::Split& split);

// Where a split records that missing values go. The criterion's choice when
// the node's splitting rows missed the feature's value; otherwise, in a fit
// that incorporates missing values, the child with more splitting rows (the
// left one on a tie), since a query missing the value most likely belongs
// with the majority; in a fit that refuses them, right as always.
[[nodiscard]] bool missing_goes_left(MissingSide chosen, MissingValues missing_values,
                                     std::size_t n_left, std::size_t n_right);

// Whether a tree grown with these settings may hold a leaf that none of its
// estimation rows reach. A child keeps at least min_samples_leaf estimation
// rows, and without honesty its estimation rows are its splitting rows, of
// which it has at least one; so only an honest tree with min_samples_leaf 0,
// whose estimation rows may all follow one side of a split, may.
[[nodiscard]] bool leaves_may_be_empty(const TreeParams& params);

// The arrays a tree grows in. A thread that grows tree after tree keeps them,
// as it keeps its search buffers, and each tree takes copies at their final
// size. Freed after every tree, these large blocks would raise malloc's mmap
// threshold, so the next tree's came from the thread's arena, under the kept
// trees' arrays allocated after them, which then pinned them there: at a
// million rows a third more memory per tree than the trees keep.
template <class Payload>
struct TreeWorkspace {
  std::vector<NodeKind> nodes;
  typename Tree<Payload>::Leaves leaves;
  std::vector<std::uint32_t> rows;  // the tree's sample, lent to draw_tree_rows
  // A forest's tree records its rows' leaves here at 32 bits, then keeps them
  // at the width its leaf count needs (RecordedLeaves).
  std::vector<std::uint32_t> recorded_leaf;
};

// Grows one tree: owns the node stack and the stopping rules; asks the
// criterion for each node's split and the leaf estimate for each leaf.
template <SplitCriterion Criterion, LeafEstimate Leaves>
class TreeBuilder {
 public:
  using Payload = typename Leaves::Payload;
  using Scratch = typename ScratchOf<Criterion>::type;

  TreeBuilder(const Covariates& covariates, const Criterion& criterion, const Leaves& leaves,
              const TreeParams& params, ChaCha8Rng& stream, std::span<std::uint32_t> recorded_leaf,
              const CallControl& control, Scratch& scratch, TreeWorkspace<Payload>& workspace)
      : covariates_(covariates),
        criterion_(criterion),
        leaves_estimate_(leaves),
        params_(params),
        stream_(stream),
        recorded_leaf_(recorded_leaf),
        control_(control),
        scratch_(scratch),
        features_(covariates.n_features(), params.max_features.resolve(covariates.n_features())),
        nodes_(workspace.nodes),
        leaves_(workspace.leaves) {
    nodes_.clear();
    leaves_.clear();
  }

  // Grows the tree of the given rows: depth first, or best first up to
  // max_leaf_nodes leaves.
  [[nodiscard]] Tree<Payload> build(std::span<std::uint32_t> splitting_rows,
                                    std::span<std::uint32_t> estimation_rows) && {
    reserve(estimation_rows.size());
    splitting_floor_ = child_floor(splitting_rows);
    estimation_floor_ = child_floor(estimation_rows);
    const Frame root{splitting_rows, estimation_rows, 0};
    const std::uint32_t root_node =
        params_.max_leaf_nodes
            ? grow_best_first(root)
            : lay_out(root, [&](const Frame& frame) { return choose_split(frame); });
    // Copies take their exact size: a fitted tree keeps its arrays for its
    // lifetime, and what their growth left unused would be a quarter of a
    // large forest.
    return Tree<Payload>{nodes_, leaves_, root_node,
                         static_cast<std::uint32_t>(covariates_.n_features())};
  }

 private:
  struct PartitionedSplit {
    std::uint32_t feature;
    double threshold;
    double score;
    bool missing_left;
    std::size_t n_splitting_left;
    std::size_t n_estimation_left;
    // Best first: the id of the left child (the right one's is next).
    std::uint32_t first_child = 0;
  };

  static constexpr std::size_t kUsualDepth = 32;

  struct Frame {
    std::span<std::uint32_t> splitting;
    std::span<std::uint32_t> estimation;
    std::uint32_t depth;
    std::uint32_t id = 0;  // best first: the order in which the node was made
    std::optional<PartitionedSplit> split{};
    std::optional<std::uint32_t> left{};

    [[nodiscard]] Frame left_child() const {
      return {splitting.first(split->n_splitting_left), estimation.first(split->n_estimation_left),
              depth + 1, split->first_child};
    }
    [[nodiscard]] Frame right_child() const {
      return {splitting.subspan(split->n_splitting_left),
              estimation.subspan(split->n_estimation_left), depth + 1, split->first_child + 1};
    }
  };

  // Appends the tree under `root` in post-order (left subtree, right subtree,
  // parent last; leaves numbered left to right) and returns the root's index.
  // decide(frame) says each node's split, or none for a leaf, in the order a
  // recursion would visit the nodes; an explicit stack stands in for the
  // recursion, since a tree can be as deep as its row count.
  template <class Decide>
  std::uint32_t lay_out(const Frame& root, Decide&& decide) {
    std::vector<Frame> stack;
    // One allocation for the depth most trees stay within, not one per doubling.
    stack.reserve(kUsualDepth + 1);
    stack.push_back(root);
    std::optional<std::uint32_t> finished;  // node index of the subtree just completed
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (!finished) {
        top.split = decide(top);
        if (!top.split) {
          finished = make_leaf(top.estimation);
          stack.pop_back();
        } else {
          stack.push_back(top.left_child());
        }
      } else if (!top.left) {
        top.left = finished;
        finished.reset();
        stack.push_back(top.right_child());
      } else {
        finished = append(node::Split{.threshold = top.split->threshold,
                                      .score = top.split->score,
                                      .feature = top.split->feature,
                                      .left = *top.left,
                                      .right = *finished,
                                      .missing_left = top.split->missing_left});
        stack.pop_back();
      }
    }
    return *finished;
  }

  // Best-first growth. Each node's split is searched, drawing its features
  // from the tree's stream, when the node is made: the root first, then, each
  // time a node is split, its left child and then its right child. The node
  // split next is the frontier node whose split scores highest, the one made
  // first on a tie; once the tree has max_leaf_nodes leaves (or no node can be
  // split) the frontier's nodes become leaves, their rows already partitioned
  // by the splits they were not given. The tree is then laid out as the
  // depth-first builder lays out its trees.
  std::uint32_t grow_best_first(const Frame& root) {
    std::vector<Frame> made;
    std::vector<bool> is_split;
    struct Candidate {
      double score;
      std::uint32_t id;
    };
    const auto below = [](const Candidate& a, const Candidate& b) {
      return a.score < b.score || (a.score == b.score && a.id > b.id);
    };
    std::priority_queue<Candidate, std::vector<Candidate>, decltype(below)> frontier(below);
    const auto make = [&](Frame frame) {
      frame.id = static_cast<std::uint32_t>(made.size());
      frame.split = choose_split(frame);
      if (frame.split) frontier.push({frame.split->score, frame.id});
      made.push_back(frame);
      is_split.push_back(false);
    };
    make(root);
    for (std::size_t leaves = 1; leaves < *params_.max_leaf_nodes && !frontier.empty(); ++leaves) {
      const std::uint32_t id = frontier.top().id;
      frontier.pop();
      is_split[id] = true;
      made[id].split->first_child = static_cast<std::uint32_t>(made.size());
      const Frame node = made[id];
      make(node.left_child());
      make(node.right_child());
    }
    return lay_out(made.front(), [&](const Frame& frame) {
      return is_split[frame.id] ? made[frame.id].split : std::nullopt;
    });
  }

  // What each child of a split of `rows` (the tree's splitting or estimation
  // sample) holds at least: min_samples_leaf occurrences and
  // min_weight_fraction_leaf of the rows' weight, which is a count of
  // ceil(fraction · rows) when unweighted.
  [[nodiscard]] ChildFloor child_floor(std::span<const std::uint32_t> rows) const {
    const double fraction = params_.min_weight_fraction_leaf;
    if (fraction == 0.0) return {params_.min_samples_leaf};
    if (criterion_.weight().empty()) {
      const double share = std::ceil(fraction * static_cast<double>(rows.size()));
      return {std::max(params_.min_samples_leaf, static_cast<std::size_t>(share))};
    }
    return {params_.min_samples_leaf, fraction * weight_of(rows)};
  }

  // The rows' weight (RowWeights' rounded values, whose sums are exact in any
  // order, so a side's weight is the one the criterion sums).
  [[nodiscard]] double weight_of(std::span<const std::uint32_t> rows) const {
    double total = 0.0;
    for (const std::uint32_t row : rows) total += criterion_.weight()[row];
    return total;
  }

  // Whether a side of `rows` falls short of `floor`.
  [[nodiscard]] bool short_of(const ChildFloor& floor, std::span<const std::uint32_t> rows) const {
    return rows.size() < floor.count || (floor.weight > 0.0 && weight_of(rows) < floor.weight);
  }

  [[nodiscard]] bool should_stop(const Frame& frame) const {
    const std::size_t n = frame.splitting.size();
    // min_samples_split = 2 stops nothing more: a node of one row has no split
    // to find, and with min_samples_leaf = 0 it still draws as it always did.
    const bool too_few = n < twice_saturating(splitting_floor_.count) ||
                         (params_.min_samples_split > 2 && n < params_.min_samples_split);
    return too_few || (params_.max_depth && frame.depth >= *params_.max_depth) ||
           frame.estimation.empty() ||
           (splitting_floor_.weight > 0.0 &&
            weight_of(frame.splitting) < 2.0 * splitting_floor_.weight);
  }

  // The node's split with both row lists partitioned, or none for a leaf.
  std::optional<PartitionedSplit> choose_split(const Frame& frame) {
    // A node of a large tree takes at most milliseconds, so a stop request
    // is seen quickly even when the call grows a single tree.
    control_.check();
    if (should_stop(frame)) return std::nullopt;
    const std::optional<BestSplit> best = search(frame.splitting, features_.draw(stream_));
    if (!best) return std::nullopt;
    const MatrixView& x = covariates_.x;
    node::Split split{.threshold = best->threshold,
                      .score = best->score,
                      .feature = best->feature,
                      .left = 0,
                      .right = 0,
                      .missing_left = best->missing == MissingSide::kLeft};
    const std::size_t sl = partition(x, frame.splitting, split);
    // The splitting rows decide the side of a feature they all hold, before the
    // estimation rows (which may miss it) follow that side.
    split.missing_left = missing_goes_left(best->missing, covariates_.missing_values, sl,
                                           frame.splitting.size() - sl);
    // Without honesty both lists are the same rows in the same place, already
    // partitioned.
    const bool shared = frame.estimation.data() == frame.splitting.data();
    const std::size_t el = shared ? sl : partition(x, frame.estimation, split);
    // A midpoint threshold can fail to separate two neighbouring values (it
    // rounds onto one of them or overflows); such a split would be found again
    // in the child forever.
    if (sl == 0 || sl == frame.splitting.size()) return std::nullopt;
    if (short_of(estimation_floor_, frame.estimation.first(el)) ||
        short_of(estimation_floor_, frame.estimation.subspan(el))) {
      return std::nullopt;
    }
    return PartitionedSplit{
        split.feature, split.threshold, split.score, split.missing_left, sl, el};
  }

  std::optional<BestSplit> search(std::span<const std::uint32_t> rows,
                                  std::span<const std::uint32_t> features) {
    if constexpr (ScratchCriterion<Criterion>) {
      return criterion_.find_best_split(covariates_, rows, features, splitting_floor_, control_,
                                        scratch_);
    } else {
      return criterion_.find_best_split(covariates_, rows, features, splitting_floor_, control_);
    }
  }

  // Every leaf but a lone root holds at least min_samples_leaf estimation
  // rows, which bounds the tree's size; reserving that (up to a cap, beyond
  // which doubling costs little) spares a small tree's arrays their regrowth.
  void reserve(std::size_t n_estimation) {
    constexpr std::size_t kMostLeavesReserved = 512;
    const std::size_t leaves = std::clamp<std::size_t>(
        n_estimation / std::max<std::size_t>(params_.min_samples_leaf, 1), 1, kMostLeavesReserved);
    leaves_.reserve(leaves);
    nodes_.reserve(2 * leaves - 1);
  }

  std::uint32_t make_leaf(std::span<const std::uint32_t> estimation_rows) {
    const auto leaf = static_cast<std::uint32_t>(leaves_.size());
    leaves_.push_back(leaves_estimate_.estimate(estimation_rows));
    if (!recorded_leaf_.empty()) {
      for (const std::uint32_t row : estimation_rows) recorded_leaf_[row] = leaf;
    }
    return append(node::Leaf{leaf});
  }

  std::uint32_t append(NodeKind node) {
    nodes_.push_back(node);
    return static_cast<std::uint32_t>(nodes_.size() - 1);
  }

  const Covariates& covariates_;
  const Criterion& criterion_;
  const Leaves& leaves_estimate_;
  const TreeParams& params_;
  ChaCha8Rng& stream_;
  std::span<std::uint32_t> recorded_leaf_;
  const CallControl& control_;
  Scratch& scratch_;
  FeatureSampler features_;
  ChildFloor splitting_floor_;
  ChildFloor estimation_floor_;
  std::vector<NodeKind>& nodes_;
  typename Tree<Payload>::Leaves& leaves_;
};

// Grows one tree on `rows` (permuted in place) and records the leaf of every
// estimation row in `recorded_leaf` (indexed by training row) unless it is
// empty. Every tree, alone or in a forest, grows here. Throws Cancelled, at the
// next node, once `control` asks to stop. The criterion's searches keep their
// buffers in `scratch` and the tree grows in `workspace`, which trees grown one
// after another can share.
template <SplitCriterion Criterion, LeafEstimate Leaves>
Tree<typename Leaves::Payload> grow(const Covariates& covariates, TreeRows& rows,
                                    const Criterion& criterion, const Leaves& leaves,
                                    const TreeParams& params, ChaCha8Rng& stream,
                                    std::span<std::uint32_t> recorded_leaf,
                                    const CallControl& control,
                                    typename ScratchOf<Criterion>::type& scratch,
                                    TreeWorkspace<typename Leaves::Payload>& workspace) {
  if (criterion.n_samples() != covariates.n_samples()) {
    fail("x has " + std::to_string(covariates.n_samples()) + " rows but the outcome has " +
         std::to_string(criterion.n_samples()) + " elements");
  }
  TreeBuilder<Criterion, Leaves> builder(covariates, criterion, leaves, params, stream,
                                         recorded_leaf, control, scratch, workspace);
  return std::move(builder).build(rows.splitting(), rows.estimation());
}

// The same with buffers of the tree's own.
template <SplitCriterion Criterion, LeafEstimate Leaves>
Tree<typename Leaves::Payload> grow(const Covariates& covariates, TreeRows& rows,
                                    const Criterion& criterion, const Leaves& leaves,
                                    const TreeParams& params, ChaCha8Rng& stream,
                                    std::span<std::uint32_t> recorded_leaf,
                                    const CallControl& control = CallControl{}) {
  typename ScratchOf<Criterion>::type scratch;
  TreeWorkspace<typename Leaves::Payload> workspace;
  return grow(covariates, rows, criterion, leaves, params, stream, recorded_leaf, control, scratch,
              workspace);
}

// A tree on all rows, in index order, from a 64-bit seed; with weights
// (RowWeights' rounded values, the ones the criterion and leaves were given),
// on the rows of positive weight.
template <SplitCriterion Criterion, LeafEstimate Leaves>
Tree<typename Leaves::Payload> fit_tree(const Covariates& covariates, const Criterion& criterion,
                                        const Leaves& leaves, const TreeParams& params,
                                        std::uint64_t seed,
                                        const CallControl& control = CallControl{},
                                        std::span<const double> sample_weight = {}) {
  std::vector<std::uint32_t> all;
  if (sample_weight.empty()) {
    all.resize(covariates.n_samples());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint32_t>(i);
  } else {
    all = positive_rows(sample_weight);
  }
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
  TreeRows rows = arrange_rows(std::move(all), params, stream);
  return grow(covariates, rows, criterion, leaves, params, stream, {}, control);
}

}  // namespace korvane
