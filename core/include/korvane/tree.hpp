#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "korvane/data.hpp"
#include "korvane/error.hpp"
#include "korvane/format.hpp"
#include "korvane/nelson_aalen.hpp"
#include "korvane/rng.hpp"
#include "korvane/splits.hpp"
#include "korvane/step_function.hpp"

namespace korvane {

// How many candidate features each node draws.
struct MaxFeatures {
  enum class Kind : std::uint8_t { All, Sqrt, Fixed };
  Kind kind = Kind::All;
  std::uint32_t count = 0;  // only for Fixed

  [[nodiscard]] static MaxFeatures all() { return {Kind::All, 0}; }
  [[nodiscard]] static MaxFeatures sqrt() { return {Kind::Sqrt, 0}; }
  [[nodiscard]] static MaxFeatures fixed(std::uint32_t k) { return {Kind::Fixed, k}; }

  // mtry for p >= 1 features, clamped into [1, p]; 0 for no features.
  [[nodiscard]] std::uint32_t resolve(std::size_t p) const;

  friend bool operator==(const MaxFeatures&, const MaxFeatures&) = default;
};

struct TreeParams {
  std::optional<double> honesty;  // share of rows used for splitting
  std::optional<std::uint32_t> max_depth;
  MaxFeatures max_features;
  std::size_t min_samples_leaf = 1;
};

namespace node {
struct Split {
  std::uint32_t feature;
  double threshold;
  std::uint32_t left;
  std::uint32_t right;
  friend bool operator==(const Split&, const Split&) = default;
};
struct Leaf {
  std::uint32_t leaf;
  friend bool operator==(const Leaf&, const Leaf&) = default;
};
}  // namespace node

using NodeKind = std::variant<node::Split, node::Leaf>;

// The leaf payload of partition-only trees.
struct NoPayload {
  friend bool operator==(const NoPayload&, const NoPayload&) = default;
};

// A fitted binary tree. Nodes are numbered in post-order (children before their
// parent, left subtree first), so the root is the last node and leaves are
// numbered from left to right.
template <class Payload>
struct Tree {
  std::vector<NodeKind> nodes;
  std::vector<Payload> leaves;
  std::uint32_t root = 0;
  std::uint32_t n_features = 0;

  [[nodiscard]] std::size_t n_nodes() const { return nodes.size(); }
  [[nodiscard]] std::size_t n_leaves() const { return leaves.size(); }

  // Longest path from `node` down to a leaf. Iterative over the post-order
  // numbering, so trees as deep as their row count are fine.
  [[nodiscard]] std::uint32_t depth_of(std::uint32_t node) const {
    std::vector<std::uint32_t> depth(static_cast<std::size_t>(node) + 1, 0);
    for (std::uint32_t i = 0; i <= node; ++i) {
      if (const auto* split = std::get_if<node::Split>(&nodes[i])) {
        depth[i] = 1 + std::max(depth[split->left], depth[split->right]);
      }
    }
    return depth[node];
  }
  [[nodiscard]] std::uint32_t depth() const { return depth_of(root); }

  // Leaf reached by a row whose value in feature f is value_of(f); NaN goes right.
  template <class ValueOf>
  [[nodiscard]] std::uint32_t predict_leaf_by(ValueOf&& value_of) const {
    std::uint32_t at = root;
    while (const auto* split = std::get_if<node::Split>(&nodes[at])) {
      at = value_of(split->feature) <= split->threshold ? split->left : split->right;
    }
    return std::get<node::Leaf>(nodes[at]).leaf;
  }
  [[nodiscard]] std::uint32_t predict_leaf(const MatrixView& x, std::size_t row) const {
    return predict_leaf_by([&](std::uint32_t f) { return x.at(row, f); });
  }
  [[nodiscard]] std::uint32_t predict_leaf(const VectorView& x) const {
    return predict_leaf_by([&](std::uint32_t f) { return x[f]; });
  }

  friend bool operator==(const Tree&, const Tree&) = default;
};

// The payload a leaf gets from its estimation rows.
template <class Payload>
Payload make_leaf_payload(const SurvivalData& data, std::span<const std::uint32_t> rows);

template <>
inline StepFunction make_leaf_payload<StepFunction>(const SurvivalData& data,
                                                    std::span<const std::uint32_t> rows) {
  return nelson_aalen(data.time, data.event, rows);
}

template <>
inline NoPayload make_leaf_payload<NoPayload>(const SurvivalData&, std::span<const std::uint32_t>) {
  return {};
}

// Moves rows whose value in `feature` is <= threshold to the front, in place,
// and returns how many there are. The resulting order is part of the model: the
// children's split searches see their rows in it.
std::size_t partition(const MatrixView& x, std::span<std::uint32_t> rows, std::uint32_t feature,
                      double threshold);

// Fisher–Yates shuffle, from the last position down.
void shuffle_in_place(std::span<std::uint32_t> rows, ChaCha8Rng& stream);

// Number of splitting rows of an honest tree of n >= 2 rows: round(f·n), halves
// away from zero, clamped into [1, n − 1].
[[nodiscard]] std::size_t honest_split_size(double fraction, std::size_t n);

template <class Payload, SplitCriterion Criterion>
class TreeBuilder {
 public:
  TreeBuilder(const SurvivalData& data, const Criterion& criterion, const TreeParams& params,
              ChaCha8Rng& stream, std::optional<std::span<std::uint32_t>> leaf_record)
      : data_(data),
        criterion_(criterion),
        params_(params),
        stream_(stream),
        leaf_record_(leaf_record),
        mtry_(params.max_features.resolve(data.n_features())) {
    feature_order_.resize(data.n_features());
    for (std::uint32_t f = 0; f < feature_order_.size(); ++f) feature_order_[f] = f;
  }

  // Grows the subtree of the given rows and returns its root's node index.
  // Nodes are visited exactly as a recursion would visit them (node, left
  // subtree, right subtree, parent appended last), but on an explicit stack:
  // a tree can be as deep as its row count.
  std::uint32_t build(std::span<std::uint32_t> splitting_rows,
                      std::span<std::uint32_t> estimation_rows, std::uint32_t depth) {
    std::vector<Frame> stack;
    stack.push_back({splitting_rows, estimation_rows, depth});
    std::optional<std::uint32_t> finished;  // node index of the subtree just completed
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (!finished) {
        top.split = choose_split(top);
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
        finished = append(node::Split{top.split->feature, top.split->threshold, *top.left,
                                      *finished});
        stack.pop_back();
      }
    }
    return *finished;
  }

  std::uint32_t make_leaf(std::span<const std::uint32_t> estimation_rows) {
    const auto leaf = static_cast<std::uint32_t>(leaves_.size());
    leaves_.push_back(make_leaf_payload<Payload>(data_, estimation_rows));
    if (leaf_record_) {
      for (const std::uint32_t row : estimation_rows) (*leaf_record_)[row] = leaf;
    }
    return append(node::Leaf{leaf});
  }

  // Candidate features of one node: a partial Fisher–Yates draw over the
  // per-tree feature order, which is permuted in place and never reset.
  std::vector<std::uint32_t> sample_features() {
    const std::size_t n = feature_order_.size();
    const std::size_t k = mtry_;
    if (n > k) {
      for (std::size_t j = 0; j < k; ++j) {
        const auto r = static_cast<std::size_t>(stream_.random_range(j, n));
        std::swap(feature_order_[j], feature_order_[r]);
      }
    }
    return {feature_order_.begin(), feature_order_.begin() + static_cast<std::ptrdiff_t>(std::min(n, k))};
  }

  [[nodiscard]] Tree<Payload> into_tree(std::uint32_t root) && {
    return Tree<Payload>{std::move(nodes_), std::move(leaves_), root,
                         static_cast<std::uint32_t>(data_.n_features())};
  }

 private:
  struct PartitionedSplit {
    std::uint32_t feature;
    double threshold;
    std::size_t n_splitting_left;
    std::size_t n_estimation_left;
  };

  struct Frame {
    std::span<std::uint32_t> splitting;
    std::span<std::uint32_t> estimation;
    std::uint32_t depth;
    std::optional<PartitionedSplit> split{};
    std::optional<std::uint32_t> left{};

    [[nodiscard]] Frame left_child() const {
      return {splitting.first(split->n_splitting_left),
              estimation.first(split->n_estimation_left), depth + 1};
    }
    [[nodiscard]] Frame right_child() const {
      return {splitting.subspan(split->n_splitting_left),
              estimation.subspan(split->n_estimation_left), depth + 1};
    }
  };

  [[nodiscard]] bool should_stop(const Frame& frame) const {
    return frame.splitting.size() < twice_saturating(params_.min_samples_leaf) ||
           (params_.max_depth && frame.depth >= *params_.max_depth) || frame.estimation.empty();
  }

  // The node's split with both row lists partitioned, or none for a leaf.
  std::optional<PartitionedSplit> choose_split(const Frame& frame) {
    if (should_stop(frame)) return std::nullopt;
    const std::vector<std::uint32_t> features = sample_features();
    const std::optional<BestSplit> best =
        criterion_.find_best_split(data_, frame.splitting, features, params_.min_samples_leaf);
    if (!best) return std::nullopt;
    const std::size_t sl = partition(data_.x, frame.splitting, best->feature, best->threshold);
    // Without honesty both lists are the same rows in the same place, already
    // partitioned.
    const bool shared = frame.estimation.data() == frame.splitting.data();
    const std::size_t el =
        shared ? sl : partition(data_.x, frame.estimation, best->feature, best->threshold);
    // A midpoint threshold can fail to separate two neighbouring values (it
    // rounds onto one of them or overflows); such a split would be found again
    // in the child forever.
    if (sl == 0 || sl == frame.splitting.size()) return std::nullopt;
    const std::size_t er = frame.estimation.size() - el;
    if (el < params_.min_samples_leaf || er < params_.min_samples_leaf) return std::nullopt;
    return PartitionedSplit{best->feature, best->threshold, sl, el};
  }

  std::uint32_t append(NodeKind node) {
    nodes_.push_back(node);
    return static_cast<std::uint32_t>(nodes_.size() - 1);
  }

  SurvivalData data_;
  const Criterion& criterion_;
  const TreeParams& params_;
  ChaCha8Rng& stream_;
  std::optional<std::span<std::uint32_t>> leaf_record_;
  std::uint32_t mtry_;
  std::vector<std::uint32_t> feature_order_;
  std::vector<NodeKind> nodes_;
  std::vector<Payload> leaves_;
};

// Fits one tree on `rows` (permuted in place), optionally honest, recording the
// leaf of every estimation row in `leaf_record` when one is given.
template <class Payload, SplitCriterion Criterion>
Tree<Payload> fit_subset_inner(const SurvivalData& data, std::span<std::uint32_t> rows,
                               const Criterion& criterion, const TreeParams& params,
                               ChaCha8Rng& stream,
                               std::optional<std::span<std::uint32_t>> leaf_record) {
  std::span<std::uint32_t> splitting = rows;
  std::span<std::uint32_t> estimation = rows;
  std::vector<std::uint32_t> honest_estimation;
  if (params.honesty) {
    const double fraction = *params.honesty;
    if (!(fraction > 0.0 && fraction < 1.0)) {
      fail("honesty fraction must lie in (0, 1), got " + format_shortest(fraction));
    }
    if (rows.size() < 2) {
      fail("an honest tree needs at least 2 rows, got " + std::to_string(rows.size()));
    }
    shuffle_in_place(rows, stream);
    const std::size_t s = honest_split_size(fraction, rows.size());
    splitting = rows.first(s);
    honest_estimation.assign(rows.begin() + static_cast<std::ptrdiff_t>(s), rows.end());
    estimation = honest_estimation;
  }
  TreeBuilder<Payload, Criterion> builder(data, criterion, params, stream, leaf_record);
  const std::uint32_t root = builder.build(splitting, estimation, 0);
  return std::move(builder).into_tree(root);
}

template <class Payload, SplitCriterion Criterion>
Tree<Payload> fit_subset(const SurvivalData& data, std::span<std::uint32_t> rows,
                         const Criterion& criterion, const TreeParams& params,
                         ChaCha8Rng& stream) {
  return fit_subset_inner<Payload>(data, rows, criterion, params, stream, std::nullopt);
}

template <class Payload, SplitCriterion Criterion>
Tree<Payload> fit_subset_recording(const SurvivalData& data, std::span<std::uint32_t> rows,
                                   const Criterion& criterion, const TreeParams& params,
                                   ChaCha8Rng& stream, std::span<std::uint32_t> leaf_record) {
  return fit_subset_inner<Payload>(data, rows, criterion, params, stream, leaf_record);
}

// A tree on all rows, in index order, from a 64-bit seed.
template <class Payload, SplitCriterion Criterion>
Tree<Payload> fit(const SurvivalData& data, const Criterion& criterion, const TreeParams& params,
                  std::uint64_t seed) {
  std::vector<std::uint32_t> rows(data.n_samples());
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint32_t>(i);
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
  const ValueRanks ranks = ValueRanks::of(data);
  return fit_subset<Payload>(data.with_ranks(ranks), rows, criterion, params, stream);
}

// Adds the tree's cumulative hazard of every row of x at every time to the
// row-major rows(x) × times.size() matrix `out`.
void add_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                           std::span<const double> times, std::span<double> out);

// rows × times, the element count of a hazard prediction, after checking that
// its bytes fit in the memory this process can have (OutOfMemory otherwise).
[[nodiscard]] std::size_t hazard_output_size(std::size_t n_rows, std::size_t n_times);

// The tree's cumulative hazard, row-major rows(x) × times.size().
[[nodiscard]] std::vector<double> predict_cumulative_hazard(const Tree<StepFunction>& tree,
                                                            const MatrixView& x,
                                                            std::span<const double> times);

}  // namespace korvane
