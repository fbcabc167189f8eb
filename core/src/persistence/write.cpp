// Writing the model format: each model kind to its bytes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvane/error.hpp"
#include "korvane/persistence.hpp"
#include "persistence/byte_stream.hpp"
#include "persistence/checksum.hpp"
#include "persistence/format.hpp"

namespace korvane {

namespace {

using detail::ByteWriter;
using detail::width_for;
using namespace detail::format;

// The model's table of curve times: the distinct times the leaf curves jump
// at, ascending by order key, and where each curve point's time is in it.
// Curves index tables of times that the trees share (all trees of a fitted,
// loaded or joined forest hold one), so the table is read from the entries the
// curves use, not gathered point by point over every tree.
class CurveTimes {
 public:
  explicit CurveTimes(std::span<const Tree<StepFunction>> trees) {
    std::vector<std::vector<bool>> used;
    for (const auto& tree : trees) {
      if (!tree.leaves.table) continue;
      const std::size_t t = table_of(tree.leaves);
      if (t == tables_.size()) {
        tables_.push_back(tree.leaves.table);
        used.emplace_back(tree.leaves.table->size(), false);
      }
      for (const std::uint32_t index : tree.leaves.time_index) used[t][index] = true;
    }
    for (std::size_t t = 0; t < tables_.size(); ++t) {
      for (std::size_t k = 0; k < used[t].size(); ++k) {
        if (used[t][k]) keys_.push_back(order_key((*tables_[t])[k]));
      }
    }
    std::sort(keys_.begin(), keys_.end());
    keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
    for (std::size_t t = 0; t < tables_.size(); ++t) {
      std::vector<std::uint32_t>& position = positions_.emplace_back(used[t].size(), 0);
      for (std::size_t k = 0; k < used[t].size(); ++k) {
        if (!used[t][k]) continue;
        const auto at = std::lower_bound(keys_.begin(), keys_.end(), order_key((*tables_[t])[k]));
        position[k] = static_cast<std::uint32_t>(at - keys_.begin());
      }
    }
  }

  // Ascending order keys.
  [[nodiscard]] const std::vector<std::uint64_t>& keys() const { return keys_; }
  // Per entry of the tree's table of times, its position in keys() (for the
  // entries its curves use).
  [[nodiscard]] std::span<const std::uint32_t> positions(const StepCurves& curves) const {
    return positions_[table_of(curves)];
  }

 private:
  [[nodiscard]] std::size_t table_of(const StepCurves& curves) const {
    return static_cast<std::size_t>(std::find(tables_.begin(), tables_.end(), curves.table) -
                                    tables_.begin());
  }

  std::vector<TimeTable> tables_;
  std::vector<std::vector<std::uint32_t>> positions_;
  std::vector<std::uint64_t> keys_;
};

template <class Payload>
Counts counts_of(std::span<const Tree<Payload>> trees, std::uint32_t n_features,
                 std::uint64_t n_train_samples) {
  if (trees.size() > UINT32_MAX) fail("too many trees to store");
  Counts counts{n_features, static_cast<std::uint32_t>(trees.size()), 0, 0, 0, n_train_samples};
  for (const auto& tree : trees) {
    if (tree.n_nodes() == 0 || tree.n_nodes() > UINT32_MAX)
      fail("a tree of this size cannot be stored");
    counts.n_nodes += tree.n_nodes();
    if constexpr (std::is_same_v<Payload, StepFunction>) {
      counts.n_points += tree.leaves.n_points();
    }
  }
  return counts;
}

void write_header(ByteWriter& out, std::uint32_t version, Kind kind, const Counts& counts) {
  for (const std::uint8_t byte : kMagic) out.u8(byte);
  out.u32(version);
  out.u8(static_cast<std::uint8_t>(kind));
  out.zeros(3);
  out.u64(0);  // the file's size, set once known
  out.u32(counts.n_features);
  out.u32(counts.n_trees);
  out.u64(counts.n_nodes);
  out.u64(counts.n_times);
  out.u64(counts.n_points);
  out.u64(counts.n_train_samples);
}

template <class Payload>
void write_settings(ByteWriter& out, const Forest<Payload>& forest) {
  const ForestParams& params = forest.params;
  out.u64(forest.seed);
  out.u64(forest.first_tree);
  out.u64(params.n_trees);
  out.u64(params.tree.min_samples_leaf);
  out.f64(params.subsample_fraction);
  out.f64(params.tree.honesty.value_or(0.0));
  out.u32(params.tree.max_depth.value_or(0));
  out.u32(params.tree.max_features.count);
  out.u8(static_cast<std::uint8_t>(params.tree.max_features.kind));
  out.u8(static_cast<std::uint8_t>(
      (params.bootstrap ? kBootstrap : 0) | (params.tree.honesty ? kHonest : 0) |
      (params.tree.max_depth ? kDepthLimited : 0) | (forest.sample_weight.empty() ? 0 : kWeighted) |
      (has_growth_rules(params.tree) ? kGrowthRules : 0)));
  // Forests without little bags keep the zeros they had before groups existed.
  out.u32(params.ci_group_size > 1 ? static_cast<std::uint32_t>(params.ci_group_size) : 0);
  out.zeros(2);
  if (has_growth_rules(params.tree)) {
    out.u64(params.tree.min_samples_split);
    out.u64(params.tree.max_leaf_nodes.value_or(0));
    out.f64(params.tree.min_weight_fraction_leaf);
  }
}

// The oldest version that holds the model.
template <class Model>
std::uint32_t version_of(const Model& model) {
  if constexpr (requires { model.params; }) {
    if (has_growth_rules(model.params.tree)) return kFirstVersionWithGrowthRules;
  }
  return kOldestVersionWritten;
}

// The format keeps no child or leaf indices: it relies on the builder's
// numbering (post-order, right child just before its parent, leaves numbered
// left to right), which this checks, so that reading rebuilds the same tree.
template <class Payload>
void check_post_order(const Tree<Payload>& tree) {
  std::vector<std::uint32_t> open;
  std::uint32_t next_leaf = 0;
  for (std::uint32_t i = 0; i < tree.nodes.size(); ++i) {
    if (const auto* split = std::get_if<node::Split>(&tree.nodes[i])) {
      if (open.size() < 2 || split->right != open.back() || split->left != open[open.size() - 2]) {
        fail("a tree whose nodes are not in post-order cannot be stored");
      }
      open.pop_back();
      open.back() = i;
    } else {
      if (std::get<node::Leaf>(tree.nodes[i]).leaf != next_leaf++) {
        fail("a tree whose leaves are not numbered left to right cannot be stored");
      }
      open.push_back(i);
    }
  }
  if (open.size() != 1 || tree.root != open.back() || next_leaf != tree.leaves.size()) {
    fail("a tree that is not one post-order tree cannot be stored");
  }
}

template <class Payload>
void write_shapes(ByteWriter& out, std::span<const Tree<Payload>> trees) {
  for (const auto& tree : trees) {
    check_post_order(tree);
    out.u32(static_cast<std::uint32_t>(tree.n_nodes()));
  }
  ByteWriter::Bits kinds(out, 1);
  for (const auto& tree : trees) {
    for (const NodeKind& node : tree.nodes) kinds.put(std::holds_alternative<node::Split>(node));
  }
  kinds.finish();
}

// Calls visit(split) for every split of every tree, in node order.
template <class Payload, class Visit>
void for_each_split(std::span<const Tree<Payload>> trees, Visit&& visit) {
  for (const auto& tree : trees) {
    for (const NodeKind& node : tree.nodes) {
      if (const auto* split = std::get_if<node::Split>(&node)) visit(*split);
    }
  }
}

template <class Payload>
void write_splits(ByteWriter& out, std::span<const Tree<Payload>> trees, std::uint32_t n_features) {
  ByteWriter::Bits features(out, feature_width(n_features));
  for_each_split(trees, [&](const node::Split& split) { features.put(split.feature); });
  features.finish();
  for_each_split(trees, [&](const node::Split& split) { out.f64(split.threshold); });
  for_each_split(trees, [&](const node::Split& split) { out.f64(split.score); });
  ByteWriter::Bits missing_sides(out, 1);
  for_each_split(trees, [&](const node::Split& split) { missing_sides.put(split.missing_left); });
  missing_sides.finish();
}

// Calls visit(curve) for every leaf curve, tree by tree, leaf by leaf.
template <class Visit>
void for_each_curve(std::span<const Tree<StepFunction>> trees, Visit&& visit) {
  for (const auto& tree : trees) {
    for (std::size_t leaf = 0; leaf < tree.leaves.size(); ++leaf) visit(tree.leaves[leaf]);
  }
}

// How a curve value is stored: the counts of the Nelson–Aalen step that leads
// to it from the previous value (a few bits), or no counts ({0, 0}) and the
// value itself when no small counts reproduce it to the last bit.
struct Step {
  std::uint32_t events = 0;
  std::uint32_t at_risk = 0;
};

// Events at one time of a leaf are few: the search tries event counts up to
// this one, each with the at-risk counts its ratio to the increment suggests.
constexpr std::uint32_t kSearchedEvents = 64;

bool reproduces(double from, double to, std::uint32_t events, double at_risk) {
  return at_risk >= events && at_risk <= UINT32_MAX &&
         std::bit_cast<std::uint64_t>(
             nelson_aalen_step(from, events, static_cast<std::uint32_t>(at_risk))) ==
             std::bit_cast<std::uint64_t>(to);
}

// Counts of a Nelson–Aalen step from `from` to `to`, the fewest events first.
// The increment to - from is exact or off by a rounding of `to`, so the
// at-risk count is events / increment rounded, or a neighbour. Any counts that
// reproduce the value do: the reader only repeats the step.
Step find_step(double from, double to) {
  const double increment = to - from;
  if (!(increment > 0.0)) return {};
  for (std::uint32_t events = 1; events <= kSearchedEvents; ++events) {
    const double at_risk = std::round(events / increment);
    for (const double candidate : {at_risk, at_risk - 1.0, at_risk + 1.0}) {
      if (reproduces(from, to, events, candidate)) {
        return {events, static_cast<std::uint32_t>(candidate)};
      }
    }
  }
  return {};
}

// The steps of every curve point, in curve order.
std::vector<Step> curve_steps(std::span<const Tree<StepFunction>> trees) {
  std::vector<Step> steps;
  for_each_curve(trees, [&](const StepCurve& curve) {
    double from = 0.0;
    for (const double to : curve.values) {
      steps.push_back(find_step(from, to));
      from = to;
    }
  });
  return steps;
}

void write_steps(ByteWriter& out, std::span<const Tree<StepFunction>> trees) {
  const std::vector<Step> steps = curve_steps(trees);
  std::uint32_t most_events = 0;
  std::uint32_t most_at_risk = 0;
  std::uint64_t n_stored = 0;
  for (const Step& step : steps) {
    most_events = std::max(most_events, step.events);
    most_at_risk = std::max(most_at_risk, step.at_risk);
    n_stored += step.events == 0;
  }
  out.u8(static_cast<std::uint8_t>(width_for(most_events)));
  out.u8(static_cast<std::uint8_t>(width_for(most_at_risk)));
  out.u64(n_stored);
  ByteWriter::Bits events(out, width_for(most_events));
  for (const Step& step : steps) events.put(step.events);
  events.finish();
  ByteWriter::Bits at_risk(out, width_for(most_at_risk));
  for (const Step& step : steps) at_risk.put(step.at_risk);
  at_risk.finish();
  std::size_t k = 0;
  for_each_curve(trees, [&](const StepCurve& curve) {
    for (const double value : curve.values) {
      if (steps[k++].events == 0) out.f64(value);
    }
  });
}

void write_curves(ByteWriter& out, std::span<const Tree<StepFunction>> trees,
                  const CurveTimes& times) {
  const std::vector<std::uint64_t>& table = times.keys();
  for (const std::uint64_t key : table) out.f64(from_order_key(key));
  ByteWriter::Bits lengths(out, width_for(table.size()));
  for_each_curve(trees,
                 [&](const StepCurve& c) { lengths.put(static_cast<std::uint32_t>(c.size())); });
  lengths.finish();
  ByteWriter::Bits indices(out, width_for(table.empty() ? 0 : table.size() - 1));
  for (const auto& tree : trees) {
    if (tree.leaves.n_points() == 0) continue;
    const std::span<const std::uint32_t> position = times.positions(tree.leaves);
    for (const std::uint32_t index : tree.leaves.time_index) indices.put(position[index]);
  }
  indices.finish();
  write_steps(out, trees);
}

// Each tree's codes start on a whole byte; the code n_leaves stands for NO_LEAF.
template <class Payload>
void write_recorded_leaves(ByteWriter& out, const Forest<Payload>& forest) {
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const auto n_leaves = static_cast<std::uint32_t>(forest.trees[b].n_leaves());
    ByteWriter::Bits codes(out, width_for(n_leaves));
    forest.recorded_leaves(b).visit([&](auto leaves, auto not_recorded) {
      for (const std::uint32_t leaf : leaves) codes.put(leaf == not_recorded ? n_leaves : leaf);
    });
    codes.finish();
  }
}

template <class Payload>
void write_sample_weights(ByteWriter& out, const Forest<Payload>& forest) {
  for (const double w : forest.sample_weight) out.f64(w);
}

std::vector<std::uint8_t> finished(ByteWriter& out) {
  std::vector<std::uint8_t>& bytes = out.bytes();
  const std::uint64_t size = bytes.size() + kChecksumSize;
  for (unsigned i = 0; i < 8; ++i) bytes[16 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  out.u64(detail::xxh64(bytes));
  return std::move(bytes);
}

template <class Model, class Payload>
std::vector<std::uint8_t> encode(const Model& model, std::span<const Tree<Payload>> trees,
                                 Kind kind, std::uint64_t n_train_samples) {
  Counts counts = counts_of(trees, model.n_features, n_train_samples);
  std::optional<CurveTimes> times;
  if constexpr (std::is_same_v<Payload, StepFunction>) {
    times.emplace(trees);
    counts.n_times = times->keys().size();
  }
  ByteWriter out;
  write_header(out, version_of(model), kind, counts);
  if constexpr (requires { model.params; }) write_settings(out, model);
  write_shapes(out, trees);
  write_splits(out, trees, model.n_features);
  if constexpr (std::is_same_v<Payload, StepFunction>) write_curves(out, trees, *times);
  if constexpr (requires { model.recorded_leaf; }) {
    write_recorded_leaves(out, model);
    write_sample_weights(out, model);
  }
  return finished(out);
}

}  // namespace

std::vector<std::uint8_t> to_bytes(const Tree<StepFunction>& tree) {
  return encode(tree, std::span(&tree, 1), Kind::log_rank_tree, 0);
}

std::vector<std::uint8_t> to_bytes(const Forest<StepFunction>& forest) {
  return encode(forest, std::span(forest.trees), Kind::log_rank_forest, forest.n_train_samples);
}

std::vector<std::uint8_t> to_bytes(const Forest<NoPayload>& forest) {
  return encode(forest, std::span(forest.trees), Kind::gradient_forest, forest.n_train_samples);
}

}  // namespace korvane
